// Core coroutines on the Qt main thread: posted work, strands, timers and a
// socket served by the I/O thread all resume on the main thread.

#include "veskar/ui/qt_executor.hpp"

#include "runtime/clock.hpp"
#include "runtime/spawn.hpp"
#include "tests/support/qt/qt_test_application.hpp"

#include <gtest/gtest.h>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <QDeadlineTimer>
#include <QThread>

#include <functional>
#include <vector>

namespace veskar::ui {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

bool processUntil(const std::function<bool()>& done) {
  QDeadlineTimer deadline(10000);
  while (!done() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return done();
}

TEST(QtExecutor, CoroutinesResumeOnTheMainThreadAfterTimersStrandsAndSockets) {
  testsupport::testApplication();
  QtMainExecutor main;
  QThread* mainThread = QThread::currentThread();
  std::vector<bool> onMain;
  bool finished = false;

  // A loopback echo served on the I/O thread.
  tcp::acceptor acceptor(main.ioContext(), tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  auto port = acceptor.local_endpoint().port();
  runtime::spawn(main.ioContext().get_executor(), [&]() -> runtime::Task<void> {
    tcp::socket peer = co_await acceptor.async_accept(asio::use_awaitable);
    char byte = 0;
    co_await asio::async_read(peer, asio::buffer(&byte, 1), asio::use_awaitable);
    co_await asio::async_write(peer, asio::buffer(&byte, 1), asio::use_awaitable);
  });

  runtime::Strand strand = asio::make_strand(main.executor());
  runtime::spawn(main.executor(), [&]() -> runtime::Task<void> {
    onMain.push_back(QThread::currentThread() == mainThread);
    runtime::SystemClock clock;
    co_await clock.sleep(0.01, {});
    onMain.push_back(QThread::currentThread() == mainThread);
    co_await runtime::runOn<void>(strand, [&]() -> runtime::Task<void> {
      onMain.push_back(QThread::currentThread() == mainThread);
      co_return;
    }());
    onMain.push_back(QThread::currentThread() == mainThread);
    tcp::socket socket(co_await asio::this_coro::executor);
    co_await socket.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), port),
                                  asio::use_awaitable);
    char byte = 'x';
    co_await asio::async_write(socket, asio::buffer(&byte, 1), asio::use_awaitable);
    byte = 0;
    co_await asio::async_read(socket, asio::buffer(&byte, 1), asio::use_awaitable);
    onMain.push_back(QThread::currentThread() == mainThread && byte == 'x');
    finished = true;
  });

  ASSERT_TRUE(processUntil([&] { return finished; }));
  EXPECT_EQ(onMain, std::vector<bool>(5, true));
}

TEST(QtExecutor, PostedWorkRunsInOrderAndNeverInline) {
  testsupport::testApplication();
  QtMainExecutor main;
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) asio::post(main.executor(), [&order, i] { order.push_back(i); });
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(processUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

}  // namespace
}  // namespace veskar::ui
