// The refresh lock across processes: refreshes of several processes of the
// application are serialized, and the later ones reuse the first one's tokens.

#include "tests/integration/login/login_fixture.hpp"

#include "veskar/control/refresh_lock.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace veskar::test {
namespace {

// A process that starts the application afresh and asks for valid tokens once
// the start pipe closes; its exit status tells whether it got them.
pid_t refreshingProcess(LoginAgainstControl& test, const int (&start)[2]) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::close(start[1]);
  char byte;
  while (::read(start[0], &byte, 1) > 0) {
  }
  boost::asio::io_context io;
  LoginManagerOptions options;
  options.baseURL = *platform::parseURL(test.baseURL());
  options.refreshLockPath = test.server.directory() / "app" / "refresh.lock";
  auto manager = LoginManager::create(io.get_executor(),
                                      std::make_shared<platform::HttpsClient>(io.get_executor()),
                                      test.makeStore(), options);
  auto outcome = testsupport::settle(io, manager->validTokens(false));
  ::_exit(outcome.value ? 0 : 1);
}

TEST_F(LoginAgainstControl, TwoProcessesRefreshingAtOnceMakeOneRequest) {
  signIn();
  auto tokens = *store.tokens();
  tokens.accessExpiresAt = runtime::Date::from(std::chrono::system_clock::now()).adding(-60);
  store.saveTokens(tokens);
  // The first refresh holds the lock long enough for the other process to wait on it.
  fault({{"path", "/v1/auth/refresh"}, {"delay_ms", 400}, {"times", 1}});

  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  pid_t first = refreshingProcess(*this, start);
  pid_t second = refreshingProcess(*this, start);
  ::close(start[0]);
  ::close(start[1]);
  for (pid_t pid : {first, second}) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_NE(store.tokens()->refreshToken, tokens.refreshToken);
}

TEST_F(LoginAgainstControl, ALockPathThatIsASymlinkIsNotFollowed) {
  signIn();
  auto target = server.directory() / "elsewhere";
  auto lockPath = server.directory() / "app" / "refresh.lock";
  std::filesystem::create_symlink(target, lockPath);
  EXPECT_FALSE(settle(RefreshFileLock::acquire(lockPath)).get());

  // The refresh goes on without the lock, and nothing appears at the target.
  storeExpiry(0);
  EXPECT_TRUE(settle(manager->validTokens(false)).value);
  EXPECT_EQ(count("/v1/auth/refresh"), 1u);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(RefreshFileLock, LivesInTheUsersRuntimeDirectory) {
  ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
  EXPECT_EQ(RefreshFileLock::defaultPath(), "/run/user/4242/net.veskar.macos-token-refresh.lock");
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("XDG_DATA_HOME", "/home/u/.data", 1);
  EXPECT_EQ(RefreshFileLock::defaultPath(),
            "/home/u/.data/Veskar/net.veskar.macos-token-refresh.lock");
}

}  // namespace
}  // namespace veskar::test
