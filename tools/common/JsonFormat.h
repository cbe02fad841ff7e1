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
inline constexpr JsonFormat kFaultsFormat{"dlupdate-faults", 1};

// The opening of a document: its two fields, first.
template <class Json = nlohmann::ordered_json>
Json envelope(JsonFormat format)
{
    Json j = Json::object();
    j["format"] = format.name;
    j["version"] = format.version;
    return j;
}

// The word a document gives for the exit status of a command that ended
// before it had its output.
inline const char *endingName(int status)
{
    switch (status) {
    case 1:
        return "failed";
    case 5:
        return "unusable";
    case 64:
        return "bad usage";
    default:
        return "ended";
    }
}

// The document of a command that ended before its output was made: the
// envelope, the exit status and why, so that no earlier run's document
// passes for this one's.
template <class Json = nlohmann::ordered_json>
Json endedEarly(JsonFormat format, int status, std::string_view reason)
{
    Json j = envelope<Json>(format);
    j["status"] = status;
    j["ending"] = endingName(status);
    j["reason"] = reason;
    return j;
}

} // namespace dltool
