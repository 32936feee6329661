// Checks of the keys of events, MQTT and metrics for `nimbra-run validate`: per stream
// "events", "zones" and "lines"; at the top level "mqtt", "metricsPort" and
// "metricsAddress", including what only this machine can tell now (a metrics port in use,
// a broker that cannot be reached, unreadable password or CA files).
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "StreamEventConfig.h"

namespace nimbra_validate {

// Problems point into `root`. With `ids` non-empty only those streams are checked (the
// top-level keys are checked only without ids, as the other top-level checks).
std::vector<nimbra_internal::ConfigProblem> check_event_keys(const Json::Value& root,
                                                             const std::vector<std::string>& ids);

}  // namespace nimbra_validate
