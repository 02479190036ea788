#include "platform/url.hpp"

#include <gtest/gtest.h>

#include <string>

using platform::appendingPath;
using platform::parseURL;
using platform::resolveURL;

namespace {

std::string resolved(std::string_view base, std::string_view reference) {
  auto url = resolveURL(*parseURL(base), reference);
  return url ? std::string(url->buffer()) : "<none>";
}

std::string appended(std::string_view base, std::string_view path) {
  return std::string(appendingPath(*parseURL(base), path).buffer());
}

}  // namespace

TEST(URL, OnlyAbsoluteURLsParse) {
  EXPECT_TRUE(parseURL("https://control.example"));
  EXPECT_TRUE(parseURL("https://127.0.0.1:8443/api"));
  EXPECT_FALSE(parseURL(""));
  EXPECT_FALSE(parseURL("control.example/v1"));
  EXPECT_FALSE(parseURL("/v1/account"));
  EXPECT_FALSE(parseURL("https://control example"));
  EXPECT_FALSE(parseURL("https://[::1"));
}

TEST(URL, EndpointPathsJoinWithExactlyOneSlash) {
  EXPECT_EQ(appended("https://control.example", "/v1/auth/login"),
            "https://control.example/v1/auth/login");
  EXPECT_EQ(appended("https://control.example/", "/v1/account"),
            "https://control.example/v1/account");
  EXPECT_EQ(appended("https://control.example/api", "v1/account"),
            "https://control.example/api/v1/account");
  EXPECT_EQ(appended("https://control.example:8443/api/", "/v1/trust-bundle"),
            "https://control.example:8443/api/v1/trust-bundle");
}

TEST(URL, AppendedPathIsEncodedAndKeepsTheBaseQuery) {
  // A "?" in a path component must not start a query.
  EXPECT_EQ(appended("https://h", "/a b?c"), "https://h/a%20b%3Fc");
  EXPECT_EQ(appended("https://h/base?x=1", "/v1"), "https://h/base/v1?x=1");
}

TEST(URL, RelativeReferencesResolveAgainstTheBase) {
  // An absolute path takes the control server's host.
  EXPECT_EQ(resolved("https://control.example", "/geoip/7.bin"),
            "https://control.example/geoip/7.bin");
  EXPECT_EQ(resolved("https://control.example:8443", "/geoip/7.bin"),
            "https://control.example:8443/geoip/7.bin");
  // A relative path below a base without a path lands at the root.
  EXPECT_EQ(resolved("https://control.example", "geoip/7.bin"),
            "https://control.example/geoip/7.bin");
  // A relative path replaces the base path's last segment, as in a browser.
  EXPECT_EQ(resolved("https://control.example/api/", "geoip/7.bin"),
            "https://control.example/api/geoip/7.bin");
  EXPECT_EQ(resolved("https://control.example/api", "geoip/7.bin"),
            "https://control.example/geoip/7.bin");
  EXPECT_EQ(resolved("https://control.example/a/b/", "../7.bin"),
            "https://control.example/a/7.bin");
  EXPECT_EQ(resolved("https://control.example/v1/x", "?v=7"), "https://control.example/v1/x?v=7");
}

TEST(URL, AbsoluteAndNetworkPathReferencesStandByThemselves) {
  EXPECT_EQ(resolved("https://control.example", "https://cdn.example/t.bin"),
            "https://cdn.example/t.bin");
  EXPECT_EQ(resolved("https://control.example", "//cdn.example/t.bin"),
            "https://cdn.example/t.bin");
}

TEST(URL, UnusableReferencesYieldNoURL) {
  EXPECT_EQ(resolved("https://control.example", ""), "<none>");
  EXPECT_EQ(resolved("https://control.example", "https://[bad"), "<none>");
  EXPECT_EQ(resolved("https://control.example", "a b.bin"), "<none>");
  EXPECT_FALSE(resolveURL(boost::urls::url_view("/relative/base"), "t.bin"));
}
