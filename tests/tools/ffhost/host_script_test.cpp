// The host's script language: what each statement turns into, and the
// messages for scripts that must not run.
#include "script.h"

#include <gtest/gtest.h>

namespace {

Script Parse(const std::string& text)
{
    Script script;
    std::string error;
    EXPECT_TRUE(ParseScript(text, &script, &error)) << error;
    return script;
}

TEST(HostScript, FirstDownloadPassesEveryParameterWithDirectInputsDefaults)
{
    const Script script = Parse("download a constant magnitude=5000");
    ASSERT_EQ(1u, script.statements.size());
    const Statement& st = script.statements[0];
    EXPECT_EQ(Op::Download, st.op);
    EXPECT_EQ("a", st.sName);
    EXPECT_EQ(0u, st.dwType);
    EXPECT_EQ(static_cast<DWORD>(DIEP_ALLPARAMS), st.dwFlags);
    EXPECT_EQ(5000, st.params.cf.lMagnitude);
    EXPECT_EQ(sizeof(DICONSTANTFORCE), st.cbTypeSpecificParams);
    EXPECT_EQ(INFINITE, st.eff.dwDuration);
    EXPECT_EQ(10000u, st.eff.dwGain);
    EXPECT_EQ(sizeof(DIEFFECT), st.eff.dwSize);
    EXPECT_FALSE(st.fEnvelope);
}

TEST(HostScript, DownloadKeysFillTheirMembers)
{
    const Script script =
        Parse("download s sine magnitude=8000 offset=-200 phase=9000 period=200ms duration=2s "
              "gain=7000 delay=1500us attack=0,300ms fade=100,250000 start");
    const Statement& st = script.statements.at(0);
    EXPECT_EQ(3u, st.dwType);
    EXPECT_EQ(static_cast<DWORD>(DIEP_ALLPARAMS | DIEP_START), st.dwFlags);
    EXPECT_EQ(8000u, st.params.periodic.dwMagnitude);
    EXPECT_EQ(-200, st.params.periodic.lOffset);
    EXPECT_EQ(9000u, st.params.periodic.dwPhase);
    EXPECT_EQ(200000u, st.params.periodic.dwPeriod);
    EXPECT_EQ(sizeof(DIPERIODIC), st.cbTypeSpecificParams);
    EXPECT_EQ(2000000u, st.eff.dwDuration);
    EXPECT_EQ(7000u, st.eff.dwGain);
    EXPECT_EQ(1500u, st.eff.dwStartDelay);
    ASSERT_TRUE(st.fEnvelope);
    EXPECT_EQ(sizeof(DIENVELOPE), st.env.dwSize);
    EXPECT_EQ(0u, st.env.dwAttackLevel);
    EXPECT_EQ(300000u, st.env.dwAttackTime);
    EXPECT_EQ(100u, st.env.dwFadeLevel);
    EXPECT_EQ(250000u, st.env.dwFadeTime);
}

TEST(HostScript, LaterDownloadOfANamePassesOnlyItsKeysAndKeepsTheRest)
{
    const Script script = Parse("download r ramp from=10000 to=-10000 duration=1s\n"
                                "download r gain=5000\n"
                                "download r to=0 nodownload\n"
                                "download r sine magnitude=1");
    ASSERT_EQ(4u, script.statements.size());
    const Statement& gain = script.statements[1];
    EXPECT_EQ(static_cast<DWORD>(DIEP_GAIN), gain.dwFlags);
    EXPECT_EQ(5000u, gain.eff.dwGain);
    EXPECT_EQ(1000000u, gain.eff.dwDuration);
    EXPECT_EQ(10000, gain.params.ramp.lStart);
    const Statement& to = script.statements[2];
    EXPECT_EQ(static_cast<DWORD>(DIEP_TYPESPECIFICPARAMS | DIEP_NODOWNLOAD), to.dwFlags);
    EXPECT_EQ(10000, to.params.ramp.lStart);
    EXPECT_EQ(0, to.params.ramp.lEnd);
    EXPECT_EQ(5000u, to.eff.dwGain);
    const Statement& retyped = script.statements[3];
    EXPECT_EQ(3u, retyped.dwType);
    EXPECT_EQ(static_cast<DWORD>(DIEP_TYPESPECIFICPARAMS), retyped.dwFlags);
}

TEST(HostScript, FlagsKeyReplacesTheDerivedFlags)
{
    const Script script = Parse("download a constant magnitude=1 flags=duration|gain|0x200 start; "
                                "download b 8 flags=0");
    EXPECT_EQ(static_cast<DWORD>(DIEP_DURATION | DIEP_GAIN | DIEP_STARTDELAY | DIEP_START),
              script.statements.at(0).dwFlags);
    EXPECT_EQ(0u, script.statements.at(1).dwFlags);
    EXPECT_EQ(8u, script.statements.at(1).dwType);
    EXPECT_EQ(0u, script.statements.at(1).cbTypeSpecificParams);
}

TEST(HostScript, CallsWaitsAndMarks)
{
    const Script script = Parse("download a square  # a comment\n"
                                "start a 3 solo; start a infinite; start #7; stop a; destroy #0; status a\n"
                                "gain 10001; command pause; command 0x30; state; versions; escape\n"
                                "wait 15; wait 15ms; wait 2s; unbind; bind; bind \\\\.\\pipe\\x\n"
                                "mark the end  is near\n"
                                "release\n\n   # trailing comment\n");
    const auto& sts = script.statements;
    ASSERT_EQ(21u, sts.size());
    EXPECT_EQ(Op::Start, sts[1].op);
    EXPECT_EQ(3u, sts[1].dwValue);
    EXPECT_EQ(static_cast<DWORD>(DIES_SOLO), sts[1].dwMode);
    EXPECT_EQ(INFINITE, sts[2].dwValue);
    EXPECT_EQ("", sts[3].sName);
    EXPECT_EQ(7u, sts[3].dwHandle);
    EXPECT_EQ(1u, sts[3].dwValue);
    EXPECT_EQ(Op::Stop, sts[4].op);
    EXPECT_EQ(Op::Destroy, sts[5].op);
    EXPECT_EQ(Op::Status, sts[6].op);
    EXPECT_EQ(10001u, sts[7].dwValue);
    EXPECT_EQ(static_cast<DWORD>(DISFFC_PAUSE), sts[8].dwValue);
    EXPECT_EQ(0x30u, sts[9].dwValue);
    EXPECT_EQ(Op::State, sts[10].op);
    EXPECT_EQ(Op::Versions, sts[11].op);
    EXPECT_EQ(Op::Escape, sts[12].op);
    EXPECT_EQ(15u, sts[13].dwValue);
    EXPECT_EQ(15u, sts[14].dwValue);
    EXPECT_EQ(2000u, sts[15].dwValue);
    EXPECT_EQ(Op::Unbind, sts[16].op);
    EXPECT_EQ("", sts[17].sArgument);
    EXPECT_EQ("\\\\.\\pipe\\x", sts[18].sArgument);
    EXPECT_EQ("the end  is near", sts[19].sArgument);
    EXPECT_EQ(Op::Release, sts[20].op);
    EXPECT_EQ(5, sts[19].iLine);
}

TEST(HostScript, BadScriptsAreRefusedWithTheLineAndTheFault)
{
    const struct {
        const char* pszScript;
        const char* pszMessage;
    } rgCases[] = {
        {"strat a", "line 1: unknown statement 'strat'"},
        {"gain 1\n\nstart x", "line 3: effect 'x' has not been downloaded"},
        {"download a", "line 1: download of a new effect needs a type"},
        {"download 9a constant", "'9a' is not an effect name"},
        {"download a constant magnitude=abc", "'abc' is not a number"},
        {"download a ramp magnitude=5", "'magnitude' is not a parameter of type 1"},
        {"download a 8 period=5", "'period' is not a parameter of type 8"},
        {"download a constant bogus=1", "unknown download key 'bogus'"},
        {"download a constant now", "'now' is neither key=value nor start, norestart or nodownload"},
        {"download a sine attack=5", "attack takes LEVEL,TIME"},
        {"download a sine flags=duration|often", "unknown flag 'often'"},
        {"download a sine duration=5h", "'5h' is not a number"},
        {"download a sine duration=5000s", "out of range"},
        {"command jump", "unknown command 'jump'"},
        {"gain 4294967296", "'4294967296' is out of range 0..4294967295"},
        {"gain", "gain takes 1 argument"},
        {"state now", "state takes 0 arguments"},
        {"wait -1", "out of range"},
        {"release; gain 5", "line 1: nothing may follow release"},
        {"download a constant; start a 1 2 3 4", "start takes 1 to 4 arguments"},
    };
    for (const auto& c : rgCases) {
        Script script;
        script.statements.resize(1);
        std::string error;
        EXPECT_FALSE(ParseScript(c.pszScript, &script, &error)) << c.pszScript;
        EXPECT_NE(std::string::npos, error.find(c.pszMessage)) << c.pszScript << " gave: " << error;
        EXPECT_TRUE(script.statements.empty()) << c.pszScript;
    }
}

} // namespace
