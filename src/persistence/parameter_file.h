#pragma once
// Parameter files: one fixed 1899-byte little-endian record holding the whole sound parameter set
// together with the device, ON-AIR, export and external-encoder options. The same reader and
// writer serve the current-settings file (start-up folder + "/ldmp3.prf", loaded at start and
// saved at exit), the user's ".ld3" files and the three user presets.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/device_choice.h"
#include "base/host.h"
#include "files/export_options.h"
#include "processor/parameter_names.h"
#include "processor/processor.h"

namespace loudara {

inline constexpr int kParameterFileBytes = 1899;
inline constexpr char kParameterFileMagic[9] = "LDR0ERSP";
inline constexpr const char* kCurrentSettingsFileName = "ldmp3.prf";
inline constexpr int kEncoderTextBytes = 260;

// The options a parameter file carries besides the sound parameters. Their owners (the sound
// device engine, the MP3 bridge) copy them in and out; the export options are used as they are.
// The device choice is the device engine's own record, embedded as the base part.
struct StoredSettings : DeviceChoice {
    // Export.
    ExportOptions exportOptions;
    // External MP3 encoder.
    int32_t useExternalEncoder = 0;
    char externalEncoderPath[kEncoderTextBytes] = "";
    char externalEncoderParams[kEncoderTextBytes] = "";
};

// Whether `a` and `b` name the same external encoder: the switch, the program and its arguments.
bool SameExternalEncoder(const StoredSettings& a, const StoredSettings& b);
// Puts the external encoder fields of `from` into `to`.
void CopyExternalEncoder(const StoredSettings& from, StoredSettings& to);

// The fields of a parameter file besides the sound parameters (whose places soundParameters()
// gives): the record's spare values, the bass EQ's rate, the preset description and the stored
// settings.
enum class StoredType { F64, I32, U16InSlot, Text };  // a U16InSlot leaves the slot's high half 0

// The live values those fields belong to.
struct StoredParts {
    ProcessorParams& params;
    ProcessorSettings& settings;
    StoredSettings& stored;
};

struct StoredField {
    const char* name;
    int offset;
    StoredType type;
    void* (*place)(StoredParts&);  // the double, int32_t, uint16_t or char buffer it is read into
    int textBytes = 0;             // Text: bytes in the file
    int room = 0;                  // Text: the buffer, whose last byte is kept a NUL
    bool currentSettingsOnly = false;
    std::optional<double> whenAbsent = {};  // what a file too short to hold it gives (a text: empty)
    // What setting it by name takes (texts: at most maxValue bytes); spares are not set by name.
    bool settable = true;
    double minValue = 0, maxValue = 0;
};

// In file order.
std::span<const StoredField> storedFields();

// One named field of the file: a sound parameter with its band, or one of the stored fields.
struct FileField {
    int offset;
    const ParameterInfo* parameter;  // or null
    int band;
    const StoredField* stored;       // or null
};

// Every named field of the file, in file order.
std::vector<FileField> fieldsInFileOrder();

enum class ParameterLoadStatus {
    Loaded,      // the file was read (perhaps only its first bytes: see fileBytes)
    NotOpened,   // missing or unreadable: nothing changed, the processor was refreshed
    WrongMagic,  // not a parameter file: nothing changed, a beep was sounded
    InvalidValue,  // a damaged file (a value that is no number): nothing changed, a beep was sounded
};

struct ParameterLoadOutcome {
    ParameterLoadStatus status = ParameterLoadStatus::NotOpened;
    int fileBytes = 0;  // bytes the file held, up to kParameterFileBytes (Loaded only)
    std::string invalidField;                // InvalidValue: the first field that holds no number
    std::vector<std::string> clampedFields;  // Loaded: fields that were outside their knob's range
};

// The file a name means: the name itself, or the current-settings file of `startupFolder` when
// the name is empty.
std::string ParameterFilePath(const std::string& fileName, const std::string& startupFolder);

// Reads a parameter file into the live values and brings the processor up to date (envelope
// times, bass EQ, final low-pass). Every value is checked against its knob's range before any is
// applied: a value outside it is brought to the nearest limit, a NaN or infinite value refuses the
// whole file like a wrong magic. An empty name means the current-settings file; only that file
// sets fileNameString, gateOn and the six gateDb values.
ParameterLoadOutcome LoadParameterFile(Processor& p, StoredSettings& stored, const std::string& fileName,
                                       const std::string& startupFolder, Host& host);

// The same for the file at `path`, read as the current-settings file when `currentSettingsFile`
// is true (every field) or as a user file otherwise.
ParameterLoadOutcome LoadParameterFileAt(Processor& p, StoredSettings& stored, const std::string& path,
                                         bool currentSettingsFile, Host& host);

// Writes the live values; an empty name means the current-settings file. spareB is set to 0.0
// first. The old file stays intact when the new one cannot be written completely; the return
// value and `error` say whether it was (the program itself reports nothing).
bool SaveParameterFile(Processor& p, const StoredSettings& stored, const std::string& fileName,
                       const std::string& startupFolder, std::string& error);

// The 1899 bytes SaveParameterFile writes for the live values (spareB is set to 0.0 first).
void EncodeParameterFile(Processor& p, const StoredSettings& stored, uint8_t (&image)[kParameterFileBytes]);

}  // namespace loudara
