#pragma once

#include "veskar/control/login_manager.hpp"

#include <QString>

#include <optional>

namespace veskar::ui {

// The signed-in phone number with the three characters before its last four
// hidden; "common.unknown" when none is known, shorter than 7 characters unchanged.
QString maskedPhoneText(const std::optional<LoginInfo>& info);

}  // namespace veskar::ui
