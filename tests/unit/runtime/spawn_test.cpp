#include "runtime/spawn.hpp"

#include <gtest/gtest.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <stdexcept>
#include <string>

using runtime::Task;
namespace asio = boost::asio;

namespace {

Task<void> failing(std::string what) {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  throw std::runtime_error(what);
}

Task<void> cancelled() {
  co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
  throw runtime::CancellationError();
}

std::string messageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace

TEST(Spawn, AnEscapeReachesTheHandlerOnTheTasksExecutor) {
  asio::io_context io;
  runtime::Strand strand(io.get_executor());
  std::vector<std::string> escapes;
  bool onStrand = false;
  runtime::spawn(io.get_executor(), failing("plain"),
                 [&](std::exception_ptr e) { escapes.push_back(messageOf(e)); });
  runtime::spawn(strand, failing("stranded"), [&](std::exception_ptr e) {
    onStrand = strand.running_in_this_thread();
    escapes.push_back(messageOf(e));
  });
  // Neither a cancelled task nor a finished one has escaped anything.
  runtime::spawn(io.get_executor(), cancelled(), [&](std::exception_ptr) { ADD_FAILURE(); });
  runtime::spawn(
      io.get_executor(), []() -> Task<void> { co_return; },
      [&](std::exception_ptr) { ADD_FAILURE(); });
  io.run();
  EXPECT_EQ(escapes, (std::vector<std::string>{"plain", "stranded"}));
  EXPECT_TRUE(onStrand);
}

TEST(Spawn, ByDefaultAnEscapeLeavesThroughRun) {
  asio::io_context io;
  runtime::spawn(io.get_executor(), failing("loud"));
  EXPECT_THROW(
      {
        try {
          io.run();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "loud");
          throw;
        }
      },
      std::runtime_error);
  // The io_context goes on after the escape.
  io.restart();
  bool ran = false;
  runtime::spawn(io.get_executor(), [&]() -> Task<void> {
    ran = true;
    co_return;
  });
  io.run();
  EXPECT_TRUE(ran);
}
