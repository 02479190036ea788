#pragma once

// Salted password hashes for the lab's accounts: PBKDF2 with HMAC-SHA-256,
// written as "pbkdf2-sha256$<iterations>$<salt>$<hash>" with salt and hash in
// standard Base64.

#include <string>
#include <string_view>

namespace testbed {

inline constexpr unsigned defaultPasswordIterations = 100'000;

// A new random 16-byte salt each call.
std::string hashPassword(std::string_view password,
                         unsigned iterations = defaultPasswordIterations);

// False for a wrong password and for a hash text that is not of the form above.
bool verifyPassword(std::string_view password, std::string_view hash);

// Whether `hash` is of the form above (for checking lab files at load).
bool isPasswordHash(std::string_view hash);

}  // namespace testbed
