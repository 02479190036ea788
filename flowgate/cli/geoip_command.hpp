#pragma once

// `flowgate geoip`: inspect GeoIP table files and look addresses up in them.

#include "flowgate/cli/command.hpp"

namespace flowgate::cli {

extern const Command geoipCommand;

}  // namespace flowgate::cli
