// Build-time platform tag, readable through one function so tests can exercise the
// element choices of every board variant from one x86 build.
#pragma once

#include <string>

namespace nimbra_internal {

// The tag the builders compare against: PLATFORM_TAG unless overridden.
const std::string& platform_tag();

// Test hook: replaces the tag for the whole process; an empty string restores the
// compiled-in one. Not thread-safe against running builders; set it before building.
void set_platform_tag_override(const std::string& tag);

}  // namespace nimbra_internal
