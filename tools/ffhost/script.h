// The host's script: a short list of the calls a game makes through
// DirectInput (downloads, starts, stops, gain, device commands), with waits.
// The text is parsed whole before anything runs, so a bad script runs nothing.
// The syntax is described in README.md and in the program's --help.
#pragma once

#include <windows.h>
#include <dinput.h>

#include <string>
#include <vector>

enum class Op {
    Download,
    Start,
    Stop,
    Destroy,
    Status,
    Gain,
    Command,
    State,
    Versions,
    Escape,
    Wait,
    Bind,
    Unbind,
    Release,
    Mark,
};

struct Statement {
    Op op = Op::Mark;
    int iLine = 0;      // where it stands in the script, from 1
    std::string sText;  // the statement as written, for messages
    std::string sName;  // effect name; empty when a raw handle is given
    DWORD dwHandle = 0; // raw effect handle (#N), when sName is empty

    // Download: the DIEFFECT members given, the type index and the flags.
    DWORD dwType = 0;
    DWORD dwFlags = 0;
    DIEFFECT eff = {};
    bool fEnvelope = false; // an envelope is passed (else lpEnvelope is null)
    DIENVELOPE env = {};
    DWORD cbTypeSpecificParams = 0; // 0 when the download carries none
    union {
        DICONSTANTFORCE cf;
        DIRAMPFORCE ramp;
        DIPERIODIC periodic;
    } params = {};

    // Start: count and mode. Gain: the gain. Command: the command.
    // Wait: milliseconds.
    DWORD dwValue = 0;
    DWORD dwMode = 0;
    std::string sArgument; // Bind: a device path other than the controller's; Mark: the text
};

struct Script {
    std::vector<Statement> statements;
};

// Parses the script text. Statements are separated by line ends or ';'.
// On failure returns false and a message naming the line and the fault.
bool ParseScript(const std::string& text, Script* pScript, std::string* pError);

// The type names the script knows, by type index (0..6).
const char* EffectTypeName(DWORD dwType);
