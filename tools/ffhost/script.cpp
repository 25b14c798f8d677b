#include "script.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

namespace {

struct NamedValue {
    const char* psz;
    DWORD dw;
};

constexpr NamedValue TYPE_NAMES[] = {
    {"constant", 0}, {"ramp", 1}, {"square", 2}, {"sine", 3}, {"triangle", 4}, {"sawup", 5}, {"sawdown", 6},
};

constexpr NamedValue FLAG_NAMES[] = {
    {"duration", DIEP_DURATION},
    {"sampleperiod", DIEP_SAMPLEPERIOD},
    {"gain", DIEP_GAIN},
    {"triggerbutton", DIEP_TRIGGERBUTTON},
    {"triggerrepeatinterval", DIEP_TRIGGERREPEATINTERVAL},
    {"axes", DIEP_AXES},
    {"direction", DIEP_DIRECTION},
    {"envelope", DIEP_ENVELOPE},
    {"typespecificparams", DIEP_TYPESPECIFICPARAMS},
    {"startdelay", DIEP_STARTDELAY},
    {"allparams", DIEP_ALLPARAMS},
    {"start", DIEP_START},
    {"norestart", DIEP_NORESTART},
    {"nodownload", DIEP_NODOWNLOAD},
};

constexpr NamedValue COMMAND_NAMES[] = {
    {"reset", DISFFC_RESET},
    {"stopall", DISFFC_STOPALL},
    {"pause", DISFFC_PAUSE},
    {"continue", DISFFC_CONTINUE},
    {"actuatorson", DISFFC_SETACTUATORSON},
    {"actuatorsoff", DISFFC_SETACTUATORSOFF},
};

bool EndsWith(const std::string& s, const char* pszSuffix)
{
    const size_t cch = strlen(pszSuffix);
    return s.size() > cch && s.compare(s.size() - cch, cch, pszSuffix) == 0;
}

template <size_t N> bool Lookup(const NamedValue (&rg)[N], const std::string& s, DWORD* pdw)
{
    for (const NamedValue& nv : rg) {
        if (s == nv.psz) {
            *pdw = nv.dw;
            return true;
        }
    }
    return false;
}

// What a named effect holds so far: later downloads of the name change only
// what they mention, as an application changes its DIEFFECT between calls.
struct EffectState {
    DWORD dwType = 0;
    DIEFFECT eff = {};
    DIENVELOPE env = {};
    bool fEnvelope = false;
    decltype(Statement::params) params = {};
};

class Parser {
public:
    Parser(Script* pScript, std::string* pError) : pScript_(pScript), pError_(pError) {}
    bool Parse(const std::string& text);

private:
    bool ParseStatement(const std::string& text, int iLine);
    bool ParseDownload(Statement& st, const std::vector<std::string>& tokens);
    bool ParseEffectRef(Statement& st, const std::string& token);
    bool Fail(const std::string& message);

    bool Number(const std::string& s, long long llMin, long long llMax, long long* pll);
    bool Dword(const std::string& s, DWORD* pdw) { return Value(s, 0, 0xFFFFFFFFLL, pdw); }
    template <class T> bool Value(const std::string& s, long long llMin, long long llMax, T* p)
    {
        long long ll;
        if (!Number(s, llMin, llMax, &ll)) return false;
        *p = static_cast<T>(ll);
        return true;
    }
    // Microseconds, the unit of DirectInput's times: a bare number, or one
    // with the suffix us, ms or s; "infinite" where fInfinite allows it.
    bool Time(const std::string& s, bool fInfinite, DWORD* pdw);
    bool Flags(const std::string& s, DWORD* pdw);

    Script* pScript_;
    std::string* pError_;
    int iLine_ = 0;
    std::string text_;
    std::map<std::string, EffectState> effects_;
    bool fReleased_ = false;
};

bool Parser::Fail(const std::string& message)
{
    std::ostringstream out;
    out << "line " << iLine_ << ": " << message << " (in '" << text_ << "')";
    *pError_ = out.str();
    return false;
}

bool Parser::Number(const std::string& s, long long llMin, long long llMax, long long* pll)
{
    if (s.empty()) return Fail("a number is missing");
    errno = 0;
    char* pEnd = nullptr;
    const long long ll = strtoll(s.c_str(), &pEnd, 0);
    if (errno != 0 || *pEnd != '\0') return Fail("'" + s + "' is not a number");
    if (ll < llMin || ll > llMax)
        return Fail("'" + s + "' is out of range " + std::to_string(llMin) + ".." + std::to_string(llMax));
    *pll = ll;
    return true;
}

bool Parser::Time(const std::string& s, bool fInfinite, DWORD* pdw)
{
    if (fInfinite && s == "infinite") {
        *pdw = INFINITE;
        return true;
    }
    long long llScale = 1;
    std::string digits = s;
    if (EndsWith(digits, "us")) {
        digits.resize(digits.size() - 2);
    } else if (EndsWith(digits, "ms")) {
        digits.resize(digits.size() - 2);
        llScale = 1000;
    } else if (EndsWith(digits, "s")) {
        digits.resize(digits.size() - 1);
        llScale = 1000000;
    }
    long long ll;
    if (!Number(digits, 0, 0xFFFFFFFFLL / llScale, &ll)) return false;
    *pdw = static_cast<DWORD>(ll * llScale);
    return true;
}

bool Parser::Flags(const std::string& s, DWORD* pdw)
{
    DWORD dwFlags = 0;
    size_t iStart = 0;
    for (;;) {
        const size_t iBar = s.find('|', iStart);
        const std::string part =
            s.substr(iStart, iBar == std::string::npos ? std::string::npos : iBar - iStart);
        DWORD dw;
        if (!Lookup(FLAG_NAMES, part, &dw)) {
            if (part.empty() || !(part[0] >= '0' && part[0] <= '9'))
                return Fail("unknown flag '" + part + "'");
            if (!Dword(part, &dw)) return false;
        }
        dwFlags |= dw;
        if (iBar == std::string::npos) break;
        iStart = iBar + 1;
    }
    *pdw = dwFlags;
    return true;
}

bool Parser::ParseEffectRef(Statement& st, const std::string& token)
{
    if (!token.empty() && token[0] == '#') return Dword(token.substr(1), &st.dwHandle);
    if (!effects_.count(token)) return Fail("effect '" + token + "' has not been downloaded");
    st.sName = token;
    return true;
}

bool IsName(const std::string& s)
{
    if (s.empty() || !(isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
    for (char ch : s) {
        if (!(isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-')) return false;
    }
    return true;
}

bool Parser::ParseDownload(Statement& st, const std::vector<std::string>& tokens)
{
    if (tokens.size() < 2) return Fail("download needs an effect name");
    size_t i = 1;
    const bool fRaw = tokens[i][0] == '#';
    const bool fNew = !fRaw && !effects_.count(tokens[i]);
    if (fRaw) {
        if (!Dword(tokens[i].substr(1), &st.dwHandle)) return false;
    } else {
        if (!IsName(tokens[i]))
            return Fail("'" + tokens[i] + "' is not an effect name (letters, digits, '_' and '-')");
        st.sName = tokens[i];
    }
    ++i;
    EffectState state = fRaw ? EffectState{} : effects_[st.sName];
    if (fNew) {
        // A new effect gets every parameter, as DirectInput downloads it.
        state.eff.dwDuration = INFINITE;
        state.eff.dwGain = DI_FFNOMINALMAX;
        state.eff.dwTriggerButton = DIEB_NOTRIGGER;
    }

    // The type: required for a new effect, optional when updating one.
    bool fType = false;
    if (i < tokens.size() && tokens[i].find('=') == std::string::npos) {
        DWORD dw;
        if (Lookup(TYPE_NAMES, tokens[i], &dw)) {
            state.dwType = dw;
            fType = true;
        } else if (isdigit(static_cast<unsigned char>(tokens[i][0]))) {
            if (!Dword(tokens[i], &state.dwType)) return false;
            fType = true;
        }
        if (fType) ++i;
    }
    if ((fNew || fRaw) && !fType)
        return Fail(
            "download of a new effect needs a type: constant, ramp, square, sine, triangle, sawup, sawdown "
            "or an index");
    const bool fPeriodic = state.dwType >= 2 && state.dwType <= 6;

    DWORD dwFlags = fNew ? DIEP_ALLPARAMS : 0;
    DWORD dwWords = 0;
    bool fFlagsGiven = false;
    bool fParams = false;
    for (; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        const size_t iEq = token.find('=');
        if (iEq == std::string::npos) {
            DWORD dw = 0;
            if (token == "start" || token == "norestart" || token == "nodownload") {
                Lookup(FLAG_NAMES, token, &dw);
                dwWords |= dw;
                continue;
            }
            return Fail("'" + token + "' is neither key=value nor start, norestart or nodownload");
        }
        const std::string key = token.substr(0, iEq);
        const std::string value = token.substr(iEq + 1);
        if (key == "duration") {
            if (!Time(value, true, &state.eff.dwDuration)) return false;
            dwFlags |= DIEP_DURATION;
        } else if (key == "sampleperiod") {
            if (!Time(value, false, &state.eff.dwSamplePeriod)) return false;
            dwFlags |= DIEP_SAMPLEPERIOD;
        } else if (key == "gain") {
            if (!Dword(value, &state.eff.dwGain)) return false;
            dwFlags |= DIEP_GAIN;
        } else if (key == "trigger") {
            if (!Dword(value, &state.eff.dwTriggerButton)) return false;
            dwFlags |= DIEP_TRIGGERBUTTON;
        } else if (key == "triggerrepeat") {
            if (!Time(value, false, &state.eff.dwTriggerRepeatInterval)) return false;
            dwFlags |= DIEP_TRIGGERREPEATINTERVAL;
        } else if (key == "axes") {
            if (!Dword(value, &state.eff.cAxes)) return false;
            dwFlags |= DIEP_AXES;
        } else if (key == "delay") {
            if (!Time(value, false, &state.eff.dwStartDelay)) return false;
            dwFlags |= DIEP_STARTDELAY;
        } else if (key == "attack" || key == "fade") {
            const size_t iComma = value.find(',');
            if (iComma == std::string::npos) return Fail(key + " takes LEVEL,TIME");
            DWORD dwLevel, dwTime;
            if (!Dword(value.substr(0, iComma), &dwLevel) || !Time(value.substr(iComma + 1), false, &dwTime))
                return false;
            if (!state.fEnvelope) state.env = {sizeof(DIENVELOPE), 0, 0, 0, 0};
            if (key == "attack") {
                state.env.dwAttackLevel = dwLevel;
                state.env.dwAttackTime = dwTime;
            } else {
                state.env.dwFadeLevel = dwLevel;
                state.env.dwFadeTime = dwTime;
            }
            state.fEnvelope = true;
            dwFlags |= DIEP_ENVELOPE;
        } else if (key == "envelope") {
            if (value != "none") return Fail("envelope takes only 'none' (attack= and fade= give one)");
            state.fEnvelope = false;
            dwFlags |= DIEP_ENVELOPE;
        } else if (key == "magnitude" && state.dwType == 0) {
            if (!Value(value, -0x80000000LL, 0x7FFFFFFFLL, &state.params.cf.lMagnitude)) return false;
            fParams = true;
        } else if (key == "magnitude" && fPeriodic) {
            if (!Dword(value, &state.params.periodic.dwMagnitude)) return false;
            fParams = true;
        } else if (key == "offset" && fPeriodic) {
            if (!Value(value, -0x80000000LL, 0x7FFFFFFFLL, &state.params.periodic.lOffset)) return false;
            fParams = true;
        } else if (key == "phase" && fPeriodic) {
            if (!Dword(value, &state.params.periodic.dwPhase)) return false;
            fParams = true;
        } else if (key == "period" && fPeriodic) {
            if (!Time(value, false, &state.params.periodic.dwPeriod)) return false;
            fParams = true;
        } else if ((key == "from" || key == "to") && state.dwType == 1) {
            if (!Value(value, -0x80000000LL, 0x7FFFFFFFLL,
                       key == "from" ? &state.params.ramp.lStart : &state.params.ramp.lEnd))
                return false;
            fParams = true;
        } else if (key == "flags") {
            if (!Flags(value, &st.dwFlags)) return false;
            fFlagsGiven = true;
        } else if (key == "magnitude" || key == "offset" || key == "phase" || key == "period" ||
                   key == "from" || key == "to") {
            return Fail("'" + key + "' is not a parameter of type " + std::to_string(state.dwType));
        } else {
            return Fail("unknown download key '" + key + "'");
        }
    }
    if (fParams || fType) dwFlags |= DIEP_TYPESPECIFICPARAMS;
    if (!fFlagsGiven) st.dwFlags = dwFlags;
    st.dwFlags |= dwWords;

    st.dwType = state.dwType;
    st.eff = state.eff;
    st.eff.dwSize = sizeof(DIEFFECT);
    st.fEnvelope = state.fEnvelope;
    st.env = state.env;
    st.params = state.params;
    switch (state.dwType) {
    case 0:
        st.cbTypeSpecificParams = sizeof(DICONSTANTFORCE);
        break;
    case 1:
        st.cbTypeSpecificParams = sizeof(DIRAMPFORCE);
        break;
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        st.cbTypeSpecificParams = sizeof(DIPERIODIC);
        break;
    default:
        st.cbTypeSpecificParams = 0;
        break;
    }
    if (!fRaw) effects_[st.sName] = state;
    return true;
}

bool Parser::ParseStatement(const std::string& text, int iLine)
{
    iLine_ = iLine;
    text_ = text;
    std::vector<std::string> tokens;
    std::istringstream in(text);
    for (std::string token; in >> token;)
        tokens.push_back(token);
    if (tokens.empty()) return true;
    if (fReleased_) return Fail("nothing may follow release");

    Statement st;
    st.iLine = iLine;
    st.sText = text;
    const std::string& verb = tokens[0];
    auto fArgs = [&](size_t cMin, size_t cMax) {
        if (tokens.size() - 1 < cMin || tokens.size() - 1 > cMax) {
            if (cMin == cMax)
                return Fail(verb + " takes " + std::to_string(cMin) + " argument" + (cMin == 1 ? "" : "s"));
            return Fail(verb + " takes " + std::to_string(cMin) + " to " + std::to_string(cMax) +
                        " arguments");
        }
        return true;
    };

    if (verb == "download") {
        st.op = Op::Download;
        if (!ParseDownload(st, tokens)) return false;
    } else if (verb == "start") {
        st.op = Op::Start;
        st.dwValue = 1;
        if (!fArgs(1, 4) || !ParseEffectRef(st, tokens[1])) return false;
        for (size_t i = 2; i < tokens.size(); ++i) {
            if (tokens[i] == "solo") {
                st.dwMode |= DIES_SOLO;
            } else if (tokens[i] == "infinite") {
                st.dwValue = INFINITE;
            } else if (tokens[i].rfind("mode=", 0) == 0) {
                if (!Dword(tokens[i].substr(5), &st.dwMode)) return false;
            } else if (!Dword(tokens[i], &st.dwValue)) {
                return false;
            }
        }
    } else if (verb == "stop" || verb == "destroy" || verb == "status") {
        st.op = verb == "stop" ? Op::Stop : verb == "destroy" ? Op::Destroy : Op::Status;
        if (!fArgs(1, 1) || !ParseEffectRef(st, tokens[1])) return false;
    } else if (verb == "gain") {
        st.op = Op::Gain;
        if (!fArgs(1, 1) || !Dword(tokens[1], &st.dwValue)) return false;
    } else if (verb == "command") {
        st.op = Op::Command;
        if (!fArgs(1, 1)) return false;
        if (!Lookup(COMMAND_NAMES, tokens[1], &st.dwValue)) {
            if (!isdigit(static_cast<unsigned char>(tokens[1][0])))
                return Fail("unknown command '" + tokens[1] +
                            "' (reset, stopall, pause, continue, actuatorson, actuatorsoff or a number)");
            if (!Dword(tokens[1], &st.dwValue)) return false;
        }
    } else if (verb == "state" || verb == "versions" || verb == "unbind" || verb == "release") {
        st.op = verb == "state"      ? Op::State
                : verb == "versions" ? Op::Versions
                : verb == "unbind"   ? Op::Unbind
                                     : Op::Release;
        if (!fArgs(0, 0)) return false;
        fReleased_ = st.op == Op::Release;
    } else if (verb == "escape") {
        st.op = Op::Escape;
        if (!fArgs(0, 1) || (tokens.size() == 2 && !ParseEffectRef(st, tokens[1]))) return false;
    } else if (verb == "wait") {
        st.op = Op::Wait;
        if (!fArgs(1, 1)) return false;
        // Milliseconds here: a bare number or one ending in ms or s.
        std::string value = tokens[1];
        long long llScale = 1;
        if (EndsWith(value, "ms")) {
            value.resize(value.size() - 2);
        } else if (EndsWith(value, "s")) {
            value.resize(value.size() - 1);
            llScale = 1000;
        }
        long long ll;
        if (!Number(value, 0, 86400000 / llScale, &ll)) return false;
        ll *= llScale;
        st.dwValue = static_cast<DWORD>(ll);
    } else if (verb == "bind") {
        st.op = Op::Bind;
        if (!fArgs(0, 1)) return false;
        if (tokens.size() == 2) st.sArgument = tokens[1];
    } else if (verb == "mark") {
        st.op = Op::Mark;
        const size_t iText = text.find("mark") + 4;
        const size_t iFirst = text.find_first_not_of(" \t", iText);
        st.sArgument = iFirst == std::string::npos ? "" : text.substr(iFirst);
    } else {
        return Fail("unknown statement '" + verb + "'");
    }
    pScript_->statements.push_back(st);
    return true;
}

bool Parser::Parse(const std::string& text)
{
    int iLine = 1;
    size_t iStart = 0;
    while (iStart <= text.size()) {
        size_t iEnd = text.find('\n', iStart);
        if (iEnd == std::string::npos) iEnd = text.size();
        std::string line = text.substr(iStart, iEnd - iStart);
        // '#' starts a comment, except where a digit follows: #N is a raw handle.
        for (size_t i = line.find('#'); i != std::string::npos; i = line.find('#', i + 1)) {
            if (!(i + 1 < line.size() && isdigit(static_cast<unsigned char>(line[i + 1])))) {
                line.resize(i);
                break;
            }
        }
        for (char& ch : line) {
            if (ch == '\r' || ch == '\t') ch = ' ';
        }
        size_t iPart = 0;
        for (;;) {
            const size_t iSemi = line.find(';', iPart);
            if (!ParseStatement(
                    line.substr(iPart, iSemi == std::string::npos ? std::string::npos : iSemi - iPart),
                    iLine))
                return false;
            if (iSemi == std::string::npos) break;
            iPart = iSemi + 1;
        }
        iStart = iEnd + 1;
        ++iLine;
    }
    return true;
}

} // namespace

bool ParseScript(const std::string& text, Script* pScript, std::string* pError)
{
    pScript->statements.clear();
    Parser parser(pScript, pError);
    if (parser.Parse(text)) return true;
    pScript->statements.clear();
    return false;
}

const char* EffectTypeName(DWORD dwType)
{
    for (const NamedValue& nv : TYPE_NAMES) {
        if (nv.dw == dwType) return nv.psz;
    }
    return nullptr;
}
