// Every JSON output of dlupdate opens the same way: {"format": its name,
// "version": its number}. The version goes up whenever a field changes
// meaning or goes away; README.md lists them.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace dltool {

struct JsonFormat {
    std::string_view name;
    int version;
};

inline constexpr JsonFormat kRunReportFormat{"dlupdate-run", 2};
inline constexpr JsonFormat kMachineFormat{"dlupdate-machine", 2};
inline constexpr JsonFormat kVerifyFormat{"dlupdate-verify", 2};
inline constexpr JsonFormat kInspectFormat{"dlupdate-inspect", 2};
inline constexpr JsonFormat kSweepFormat{"dlupdate-sweep", 1};
inline constexpr JsonFormat kDamageSweepFormat{"dlupdate-damage-sweep", 1};

// The opening of a document: its two fields, first.
template <class Json = nlohmann::ordered_json>
Json envelope(JsonFormat format)
{
    Json j = Json::object();
    j["format"] = format.name;
    j["version"] = format.version;
    return j;
}

} // namespace dltool
