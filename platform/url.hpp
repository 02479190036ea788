#pragma once

// URL rules of the control server's clients: a base URL is absolute, endpoint
// paths are appended to it as path components, and a URL named by the server may
// be relative to the base.

#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include <optional>
#include <string_view>

namespace platform {

// An absolute URL (with a scheme); nothing for anything else, relative
// references and text that is not a URL alike.
std::optional<boost::urls::url> parseURL(std::string_view text);

// `base` with `path` appended as a path component: exactly one "/" joins them,
// and characters a path cannot hold are percent-encoded. "https://h" and
// "/v1/account" give "https://h/v1/account"; "https://h/api/" gives
// "https://h/api/v1/account". The query and fragment of `base` stay.
boost::urls::url appendingPath(boost::urls::url_view base, std::string_view path);

// `reference` resolved against the absolute `base` (RFC 3986): an absolute URL
// stands by itself, "/t.bin" takes the base's host, "t.bin" replaces the base
// path's last segment. Nothing when the reference is empty or not a URL
// reference, or when `base` is not absolute.
std::optional<boost::urls::url> resolveURL(boost::urls::url_view base, std::string_view reference);

}  // namespace platform
