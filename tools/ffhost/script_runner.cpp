#include "script_runner.h"

#include "driver_activation.h"

#include <cstdio>

namespace {

std::wstring Widen(const std::string& s)
{
    std::wstring w;
    const int cch = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    if (cch > 0) {
        w.resize(static_cast<size_t>(cch));
        MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), cch);
        w.resize(static_cast<size_t>(cch - 1));
    }
    return w;
}

std::string Hex(DWORD dw)
{
    char sz[16];
    snprintf(sz, sizeof(sz), "0x%lX", static_cast<unsigned long>(dw));
    return sz;
}

} // namespace

std::string DeviceStateNames(DWORD dwState)
{
    static const struct {
        DWORD dw;
        const char* psz;
    } s_rgBits[] = {
        {DIGFFS_EMPTY, "EMPTY"},
        {DIGFFS_STOPPED, "STOPPED"},
        {DIGFFS_PAUSED, "PAUSED"},
        {DIGFFS_ACTUATORSON, "ACTUATORSON"},
        {DIGFFS_ACTUATORSOFF, "ACTUATORSOFF"},
        {DIGFFS_POWERON, "POWERON"},
        {DIGFFS_POWEROFF, "POWEROFF"},
        {DIGFFS_SAFETYSWITCHON, "SAFETYSWITCHON"},
        {DIGFFS_SAFETYSWITCHOFF, "SAFETYSWITCHOFF"},
        {DIGFFS_USERFFSWITCHON, "USERFFSWITCHON"},
        {DIGFFS_USERFFSWITCHOFF, "USERFFSWITCHOFF"},
        {DIGFFS_DEVICELOST, "DEVICELOST"},
    };
    std::string names;
    for (const auto& bit : s_rgBits) {
        if (dwState & bit.dw) {
            if (!names.empty()) names += '|';
            names += bit.psz;
            dwState &= ~bit.dw;
        }
    }
    if (dwState) {
        if (!names.empty()) names += '|';
        names += Hex(dwState);
    }
    return names.empty() ? "0" : names;
}

ScriptRunner::ScriptRunner(IDirectInputEffectDriver* pDriver, PipeController* pController)
    : pDriver_(pDriver), pController_(pController)
{
}

void ScriptRunner::Note(const std::string& text)
{
    calls_.push_back({PipeController::Now(), text});
}

HRESULT ScriptRunner::Bind(LPCWSTR pszPath)
{
    std::wstring path = pszPath ? pszPath : !devicePath_.empty() ? devicePath_ : pController_->Path();
    DIHIDFFINITINFO init = {sizeof(init)};
    init.pwszDeviceInterface = path.data();
    const HRESULT hr = pDriver_->DeviceID(DIRECTINPUT_VERSION, 0, TRUE, 0, &init);
    char szPath[MAX_PATH * 3];
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, szPath, sizeof(szPath), nullptr, nullptr);
    Note(std::string("DeviceID(begin, ") + szPath + ") -> " + HresultName(hr));
    return hr;
}

DWORD ScriptRunner::HandleOf(const Statement& st) const
{
    if (st.sName.empty()) return st.dwHandle;
    const auto it = handles_.find(st.sName);
    return it == handles_.end() ? 0 : it->second;
}

void ScriptRunner::Execute(const Statement& st)
{
    const std::string ref = st.sName.empty() ? "#" + std::to_string(st.dwHandle) : st.sName;
    switch (st.op) {
    case Op::Download: {
        DIEFFECT eff = st.eff;
        DIENVELOPE env = st.env;
        auto params = st.params;
        eff.lpEnvelope = st.fEnvelope ? &env : nullptr;
        eff.cbTypeSpecificParams = st.cbTypeSpecificParams;
        eff.lpvTypeSpecificParams = st.cbTypeSpecificParams ? &params : nullptr;
        DWORD dwHandle = HandleOf(st);
        const HRESULT hr = pDriver_->DownloadEffect(0, st.dwType, &dwHandle, &eff, st.dwFlags);
        if (!st.sName.empty() && dwHandle != 0) handles_[st.sName] = dwHandle;
        const char* pszType = EffectTypeName(st.dwType);
        Note("download " + ref + " type " + (pszType ? pszType : std::to_string(st.dwType)) + " flags " +
             Hex(st.dwFlags) + " -> " + HresultName(hr) + ", handle " + std::to_string(dwHandle));
        break;
    }
    case Op::Start: {
        const HRESULT hr = pDriver_->StartEffect(0, HandleOf(st), st.dwMode, st.dwValue);
        Note("start " + ref + " count " + (st.dwValue == INFINITE ? "infinite" : std::to_string(st.dwValue)) +
             (st.dwMode ? " mode " + Hex(st.dwMode) : "") + " -> " + HresultName(hr));
        break;
    }
    case Op::Stop:
        Note("stop " + ref + " -> " + HresultName(pDriver_->StopEffect(0, HandleOf(st))));
        break;
    case Op::Destroy:
        Note("destroy " + ref + " -> " + HresultName(pDriver_->DestroyEffect(0, HandleOf(st))));
        break;
    case Op::Status: {
        DWORD dwStatus = 0xFFFFFFFF;
        const HRESULT hr = pDriver_->GetEffectStatus(0, HandleOf(st), &dwStatus);
        Note("status " + ref + " -> " + HresultName(hr) + ", " +
             (dwStatus == 0xFFFFFFFF       ? std::string("not written")
              : dwStatus == DIEGES_PLAYING ? std::string("PLAYING")
                                           : Hex(dwStatus)));
        break;
    }
    case Op::Gain:
        Note("gain " + std::to_string(st.dwValue) + " -> " + HresultName(pDriver_->SetGain(0, st.dwValue)));
        break;
    case Op::Command:
        Note("command " + Hex(st.dwValue) + " -> " +
             HresultName(pDriver_->SendForceFeedbackCommand(0, st.dwValue)));
        break;
    case Op::State: {
        DIDEVICESTATE state = {sizeof(state)};
        const HRESULT hr = pDriver_->GetForceFeedbackState(0, &state);
        Note("state -> " + HresultName(hr) + ", " + Hex(state.dwState) + " " +
             DeviceStateNames(state.dwState) + ", load " + std::to_string(state.dwLoad));
        break;
    }
    case Op::Versions: {
        DIDRIVERVERSIONS versions = {sizeof(versions)};
        const HRESULT hr = pDriver_->GetVersions(&versions);
        Note("versions -> " + HresultName(hr) + ", firmware " + std::to_string(versions.dwFirmwareRevision) +
             ", hardware " + std::to_string(versions.dwHardwareRevision) + ", driver " +
             std::to_string(versions.dwFFDriverVersion));
        break;
    }
    case Op::Escape: {
        DIEFFESCAPE esc = {sizeof(esc)};
        Note("escape -> " + HresultName(pDriver_->Escape(0, HandleOf(st), &esc)));
        break;
    }
    case Op::Wait:
        Sleep(st.dwValue);
        break;
    case Op::Bind:
        Bind(st.sArgument.empty() ? nullptr : Widen(st.sArgument).c_str());
        break;
    case Op::Unbind:
        Note("DeviceID(end) -> " +
             HresultName(pDriver_->DeviceID(DIRECTINPUT_VERSION, 0, FALSE, 0, nullptr)));
        break;
    case Op::Release: {
        const ULONG cRef = pDriver_->Release();
        pDriver_ = nullptr;
        Note("release -> " + std::to_string(cRef));
        break;
    }
    case Op::Mark:
        Note("mark " + st.sArgument);
        break;
    }
}

void ScriptRunner::Run(const Script& script)
{
    for (const Statement& st : script.statements) {
        if (!pDriver_) break;
        Execute(st);
    }
    if (pDriver_) {
        Statement release;
        release.op = Op::Release;
        Execute(release);
    }
}
