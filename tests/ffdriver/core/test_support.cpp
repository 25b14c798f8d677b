#include "tests/ffdriver/core/test_support.h"

std::atomic<DWORD> g_tick{0};

DWORD FakeTick()
{
    return g_tick.load(std::memory_order_relaxed);
}

namespace {

// The process-wide lock exists for the whole run, as it does from the DLL's
// process attach to its detach.
class ProcessLockEnvironment : public testing::Environment {
public:
    void SetUp() override { CreateProcessLock(); }
    void TearDown() override { DeleteProcessLock(); }
};

testing::Environment* const g_pProcessLockEnvironment =
    testing::AddGlobalTestEnvironment(new ProcessLockEnvironment);

} // namespace

void EffectParams::UseConstant(LONG lMagnitude)
{
    cf.lMagnitude = lMagnitude;
    eff.cbTypeSpecificParams = sizeof(cf);
    eff.lpvTypeSpecificParams = &cf;
}

void EffectParams::UseRamp(LONG lStart, LONG lEnd)
{
    ramp = {lStart, lEnd};
    eff.cbTypeSpecificParams = sizeof(ramp);
    eff.lpvTypeSpecificParams = &ramp;
}

void EffectParams::UsePeriodic(DWORD dwMagnitude, LONG lOffset, DWORD dwPhase, DWORD dwPeriod)
{
    periodic = {dwMagnitude, lOffset, dwPhase, dwPeriod};
    eff.cbTypeSpecificParams = sizeof(periodic);
    eff.lpvTypeSpecificParams = &periodic;
}

void EffectParams::UseEnvelope(DWORD dwAttackLevel, DWORD dwAttackTime, DWORD dwFadeLevel, DWORD dwFadeTime)
{
    env = {sizeof(DIENVELOPE), dwAttackLevel, dwAttackTime, dwFadeLevel, dwFadeTime};
    eff.lpEnvelope = &env;
}

DWORD DownloadPlaying(EffectDriver& driver, DWORD dwType, EffectParams& params)
{
    DWORD dwHandle = 0;
    const HRESULT hr = driver.DownloadEffect(0, dwType, &dwHandle, &params.eff, DIEP_ALLPARAMS | DIEP_START);
    return hr == S_OK ? dwHandle : 0;
}

testing::AssertionResult StoreIsConsistent(const EffectDriver& driver)
{
    if (driver.cEffects < 0) return testing::AssertionFailure() << "cEffects " << driver.cEffects;
    if ((driver.cEffects == 0) != (driver.rgpEffects == nullptr))
        return testing::AssertionFailure() << "cEffects " << driver.cEffects << " with array "
                                           << static_cast<const void*>(driver.rgpEffects);
    DWORD dwLastHandle = 0;
    for (LONG i = 0; i < driver.cEffects; i++) {
        const EffectRecord* r = driver.rgpEffects[i];
        if (!r) return testing::AssertionFailure() << "empty slot " << i;
        if (r->dwHandle <= dwLastHandle)
            return testing::AssertionFailure() << "handle " << r->dwHandle << " after " << dwLastHandle;
        if (driver.dwNextHandle != 0 && r->dwHandle >= driver.dwNextHandle)
            return testing::AssertionFailure()
                   << "handle " << r->dwHandle << " not below " << driver.dwNextHandle;
        dwLastHandle = r->dwHandle;
        if (r->fPlaying > 1) return testing::AssertionFailure() << "fPlaying " << r->fPlaying;
        if (r->eff.dwSize != 0 || r->eff.rgdwAxes || r->eff.rglDirection)
            return testing::AssertionFailure() << "eff holds a size or an outside pointer";
        if (r->eff.lpEnvelope && r->eff.lpEnvelope != &r->env)
            return testing::AssertionFailure() << "lpEnvelope points outside the record";
        const void* p = r->eff.lpvTypeSpecificParams;
        if (p && p != &r->cf && p != &r->ramp && p != &r->periodic)
            return testing::AssertionFailure() << "lpvTypeSpecificParams points outside the record";
    }
    if (driver.fActuatorsOn > 1 || driver.fStopped > 1 || driver.fPaused > 1)
        return testing::AssertionFailure()
               << "flags " << driver.fActuatorsOn << driver.fStopped << driver.fPaused;
    if (driver.dwGain < 1 || driver.dwGain > 10000)
        return testing::AssertionFailure() << "gain " << driver.dwGain;
    return testing::AssertionSuccess();
}

DWORD DeviceState(EffectDriver& driver)
{
    DIDEVICESTATE ds = {sizeof(ds)};
    EXPECT_EQ(S_OK, driver.GetForceFeedbackState(0, &ds));
    return ds.dwState;
}

DWORD EffectStatus(EffectDriver& driver, DWORD dwHandle)
{
    DWORD dwStatus = 0xDEADBEEF;
    EXPECT_EQ(S_OK, driver.GetEffectStatus(0, dwHandle, &dwStatus));
    return dwStatus;
}
