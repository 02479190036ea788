#include "testbed/geoip/geoip_source.hpp"

#include "flowgate/routing/geoip_file.hpp"
#include "runtime/ipv4.hpp"
#include "runtime/text.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

namespace testbed {

namespace {

using flowgate::GeoIPTable;

[[noreturn]] void lineError(std::size_t line, const std::string& what) {
  throw std::invalid_argument("line " + std::to_string(line) + ": " + what);
}

std::optional<runtime::ipv4::Range> addressRange(std::string_view text) {
  if (text.find('-') != std::string_view::npos) {
    auto ends = runtime::splitOmittingEmpty(text, '-');
    if (ends.size() != 2) return std::nullopt;
    auto first = runtime::ipv4::ipv4Value(ends[0]);
    auto last = runtime::ipv4::ipv4Value(ends[1]);
    if (!first || !last || *last < *first) return std::nullopt;
    return runtime::ipv4::Range{*first, *last};
  }
  return runtime::ipv4::cidrRange(text);
}

bool isAsciiCode(std::string_view code) {
  return code.size() == 2 &&
         std::all_of(code.begin(), code.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace

GeoIPSource parseGeoIPSource(std::string_view text) {
  GeoIPSource source;
  std::size_t lineNumber = 0;
  for (auto rawLine : runtime::splitOmittingEmpty(text, '\n')) {
    ++lineNumber;
    auto line = rawLine.substr(0, rawLine.find('#'));
    std::vector<std::string_view> words;
    for (auto word : runtime::splitOmittingEmpty(line, ' ')) {
      for (auto piece : runtime::splitOmittingEmpty(word, '\t')) {
        if (piece != "\r")
          words.push_back(piece.back() == '\r' ? piece.substr(0, piece.size() - 1) : piece);
      }
    }
    if (words.empty()) continue;
    if (words[0] == "version" && words.size() == 2) {
      auto version = runtime::parseDecimal(words[1], std::numeric_limits<std::uint64_t>::max());
      if (!version) lineError(lineNumber, "version is not a whole number");
      source.version = *version;
    } else if (words[0] == "direct" && words.size() == 2) {
      auto record = flowgate::geoip::DirectRecord::fromCidr(words[1]);
      if (!record) lineError(lineNumber, "not an IPv4 CIDR: " + std::string(words[1]));
      source.direct.push_back(*record);
    } else if (words[0] == "route" && words.size() == 3) {
      auto range = addressRange(words[1]);
      if (!range) lineError(lineNumber, "not a CIDR or address range: " + std::string(words[1]));
      if (!isAsciiCode(words[2])) lineError(lineNumber, "region code must be two ASCII characters");
      source.routes.push_back(GeoIPTable::Route{range->lower, range->upper,
                                                flowgate::RegionCode(words[2][0], words[2][1])});
    } else {
      lineError(lineNumber, "expected \"version N\", \"direct CIDR\" or \"route RANGE CODE\"");
    }
  }
  std::sort(source.routes.begin(), source.routes.end(),
            [](const auto& a, const auto& b) { return a.start < b.start; });
  for (std::size_t i = 1; i < source.routes.size(); ++i) {
    if (source.routes[i].start <= source.routes[i - 1].end) {
      throw std::invalid_argument("routes overlap at " +
                                  runtime::ipv4::dottedQuad(source.routes[i].start));
    }
  }
  if (source.direct.size() > flowgate::geoip::maxDirectCount ||
      source.routes.size() > flowgate::geoip::maxRouteCount) {
    throw std::invalid_argument("more entries than a table file can hold");
  }
  return source;
}

}  // namespace testbed
