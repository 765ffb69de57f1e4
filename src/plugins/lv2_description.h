#pragma once
// The LV2 bundle's description in Turtle, written from the control list at build time
// (loudara-lv2-description), so the ports the host reads are the ports the plugin has.

#include <string>

namespace loudara::plugin {

inline constexpr const char* kLv2PluginUri = "http://loudara.example.org/plugins/loudara";
inline constexpr const char* kLv2ParameterFileUri = "http://loudara.example.org/plugins/loudara#parameterFile";

// manifest.ttl: the plugin, its binary (BINARY, e.g. "loudara.so") and its description file.
std::string lv2Manifest(const std::string& binary);
// loudara.ttl: the plugin's ports, features and parameter-file property.
std::string lv2PluginDescription();

}  // namespace loudara::plugin
