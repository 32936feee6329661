#include "StreamPlatform.h"

#ifndef PLATFORM_TAG
#define PLATFORM_TAG "ub2404"
#endif

namespace nimbra_internal {
namespace {
std::string& tag_storage() {
  static std::string tag = PLATFORM_TAG;
  return tag;
}
}  // namespace

const std::string& platform_tag() { return tag_storage(); }

void set_platform_tag_override(const std::string& tag) {
  tag_storage() = tag.empty() ? std::string(PLATFORM_TAG) : tag;
}

}  // namespace nimbra_internal
