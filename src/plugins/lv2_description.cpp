#include "plugins/lv2_description.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugins/plugin_controls.h"
#include "processor/params.h"

namespace loudara::plugin {

namespace {

// A Turtle decimal that reads back as exactly the same double.
std::string number(double value) {
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.1f", value);
        return text;
    }
    for (int digits = 6; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// Menu texts double '&' to show one.
std::string menuText(const char* text) {
    std::string out;
    for (const char* c = text; *c; ++c) {
        if (c[0] == '&' && c[1] == '&') ++c;
        out += *c;
    }
    return out;
}

const char* unitOf(const char* unit) {
    static const struct {
        const char* name;
        const char* uri;
    } kUnits[] = {{"dB", "units:db"}, {"ms", "units:ms"}, {"Hz", "units:hz"},
                  {"cm", "units:cm"}, {"m", "units:m"},   {"%", "units:pc"}};
    for (const auto& u : kUnits) {
        if (!std::strcmp(unit, u.name)) return u.uri;
    }
    return nullptr;
}

}  // namespace

std::string lv2Manifest(const std::string& binary) {
    return "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
           "<" + std::string(kLv2PluginUri) + ">\n    a lv2:Plugin ;\n    lv2:binary <" + binary +
           "> ;\n    rdfs:seeAlso <loudara.ttl> .\n";
}

std::string lv2PluginDescription() {
    std::string t =
        "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
        "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
        "@prefix log: <http://lv2plug.in/ns/ext/log#> .\n"
        "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix patch: <http://lv2plug.in/ns/ext/patch#> .\n"
        "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
        "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
        "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
        "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
        "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
        "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";
    t += "<" + std::string(kLv2ParameterFileUri) + ">\n    a lv2:Parameter ;\n"
         "    rdfs:label \"Parameter file\" ;\n"
         "    rdfs:comment \"A Loudara parameter file (.ld3): its sound parameters replace the preset's\" ;\n"
         "    rdfs:range atom:Path .\n\n";
    t += "<" + std::string(kLv2PluginUri) + ">\n    a lv2:Plugin, lv2:DynamicsPlugin ;\n"
         "    doap:name \"Loudara broadcast processor\" ;\n"
         "    doap:maintainer [ doap:name \"Loudara\" ] ;\n"
         "    lv2:optionalFeature lv2:hardRTCapable, urid:map, work:schedule, log:log, state:mapPath ;\n"
         "    lv2:extensionData state:interface, work:interface ;\n"
         "    patch:writable <" + std::string(kLv2ParameterFileUri) + "> ;\n";
    const char* audio[] = {"in_l", "Input L", "in_r", "Input R", "out_l", "Output L", "out_r", "Output R"};
    uint32_t index = 0;
    for (; index < 4; ++index) {
        t += index == 0 ? "    lv2:port [\n" : "    ] , [\n";
        t += std::string("        a ") + (index < 2 ? "lv2:InputPort" : "lv2:OutputPort") + ", lv2:AudioPort ;\n";
        t += "        lv2:index " + std::to_string(index) + " ;\n";
        t += std::string("        lv2:symbol \"") + audio[2 * index] + "\" ;\n";
        t += std::string("        lv2:name \"") + audio[2 * index + 1] + "\" ;\n";
    }
    t += "    ] , [\n        a lv2:OutputPort, lv2:ControlPort ;\n        lv2:index " + std::to_string(index++) +
         " ;\n        lv2:symbol \"latency\" ;\n        lv2:name \"Latency\" ;\n"
         "        lv2:designation lv2:latency ;\n        lv2:portProperty lv2:reportsLatency, lv2:integer ;\n"
         "        units:unit units:frame ;\n";
    for (const Control& c : controls()) {
        t += "    ] , [\n        a lv2:InputPort, lv2:ControlPort ;\n";
        t += "        lv2:index " + std::to_string(index++) + " ;\n";
        t += "        lv2:symbol " + quoted(c.symbol) + " ;\n";
        t += "        lv2:name " + quoted(c.name) + " ;\n";
        t += "        rdfs:comment " + quoted(c.title) + " ;\n";
        t += "        lv2:default " + number(c.defaultValue) + " ;\n";
        t += "        lv2:minimum " + number(c.minValue) + " ;\n";
        t += "        lv2:maximum " + number(c.maxValue) + " ;\n";
        if (c.isToggle) {
            t += "        lv2:portProperty lv2:toggled ;\n";
        } else if (c.isInteger) {
            t += std::string("        lv2:portProperty lv2:integer") + (c.parameter ? "" : ", lv2:enumeration") + " ;\n";
        }
        if (const char* unit = unitOf(c.unit)) t += std::string("        units:unit ") + unit + " ;\n";
        if (!c.parameter) {
            for (const BuiltinPreset& preset : builtinPresets()) {
                t += "        lv2:scalePoint [ rdfs:label " +
                     quoted(std::to_string(preset.commandId) + " " + menuText(preset.menuText)) +
                     " ; rdf:value " + number(preset.commandId) + " ] ;\n";
            }
        }
    }
    t += "    ] , [\n        a lv2:InputPort, atom:AtomPort ;\n        atom:bufferType atom:Sequence ;\n"
         "        atom:supports patch:Message ;\n        lv2:designation lv2:control ;\n"
         "        lv2:portProperty lv2:connectionOptional ;\n"
         "        lv2:index " + std::to_string(index) + " ;\n        lv2:symbol \"control\" ;\n"
         "        lv2:name \"Control\" ;\n    ] .\n";
    return t;
}

}  // namespace loudara::plugin
