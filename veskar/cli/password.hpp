#pragma once

// The password for signing in: typed at the terminal without echo, or the
// first line of standard input for scripts.

#include <functional>
#include <string>

namespace veskar::cli {

// How reading a line ended: Enter, no (more) input, or Ctrl-C.
enum class LineEnd { entered, endOfInput, interrupted };

struct TypedLine {
  LineEnd end = LineEnd::endOfInput;
  std::string text;  // with `entered` only
};

// A line typed at a terminal that does no line editing or signals of its own,
// one byte from `nextByte` at a time (negative at the end of input): Enter
// (CR or LF) ends it, Ctrl-C interrupts, Ctrl-D on an empty line ends the
// input, Backspace erases a character and Ctrl-U the whole line.
TypedLine readTypedLine(const std::function<int()>& nextByte);

// The terminal at `fd` without echo, line editing and signals while the line is
// typed, then as it was, whatever ends the line. End of input when `fd` is no
// terminal.
TypedLine readLineUnechoed(int fd);

// End of input when standard input is no terminal (and not asked to read it)
// or was closed before a line came.
TypedLine readPassword(bool fromStandardInput, const std::string& prompt);

}  // namespace veskar::cli
