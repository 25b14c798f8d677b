// The virtual controller under Wine's own HID stack: a plugged controller is
// a HID collection that SetupAPI lists and hid.dll describes with the
// device contract's lengths, it receives the reports programs write, its
// driver re-reads "Current Setting" on a Reload Request, a fault decides how
// its reports complete, and a pulled one is gone. The drivers are installed
// by the vcontroller.install fixture.
#include "controller_link.h"
#include "controller_reports.h"

#include "common/device_contract.h"
#include "common/unique_handle.h"

#include <gtest/gtest.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}
#include <hidclass.h>

#include <cstdio>
#include <iterator>
#include <vector>

namespace {

constexpr DWORD ARRIVAL_MS = 20000;

// Ids no other test lists as supported, so that a controller left behind by a
// failed test disturbs nobody.
constexpr VC_CONTROLLER_ID CONTROLLER_A = {0x7C4A, 0x01F1};
constexpr VC_CONTROLLER_ID CONTROLLER_B = {0x7C4A, 0x01F2};

// A controller's HID collection opened as the device contract opens it: read
// and write, shared.
HANDLE OpenDevice(const std::wstring& path, DWORD dwFlags = FILE_ATTRIBUTE_NORMAL)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, dwFlags, nullptr);
}

// A controller plugged for one test, pulled at its end whatever happened.
class PluggedController {
public:
    explicit PluggedController(VC_CONTROLLER_ID id, USHORT cbOutput = VC_DEFAULT_OUTPUT_LENGTH,
                               USHORT cbFeature = VC_DEFAULT_FEATURE_LENGTH)
        : id_(id)
    {
        vcontroller::Unplug(id); // one left behind by an earlier run
        vcontroller::WaitForController(id, false, ARRIVAL_MS);
        const VC_PLUG plug = {id, cbOutput, cbFeature};
        result_ = vcontroller::Plug(plug);
        if (result_ == ERROR_SUCCESS && !vcontroller::WaitForController(id, true, ARRIVAL_MS))
            result_ = ERROR_TIMEOUT;
        if (result_ == ERROR_SUCCESS) vcontroller::FindControllerPath(id, &path_);
    }
    ~PluggedController()
    {
        if (vcontroller::Unplug(id_) == ERROR_SUCCESS) vcontroller::WaitForController(id_, false, ARRIVAL_MS);
    }
    PluggedController(const PluggedController&) = delete;
    PluggedController& operator=(const PluggedController&) = delete;

    DWORD Result() const { return result_; }
    const std::wstring& Path() const { return path_; }

    std::vector<VC_REPORT_ENTRY> Reports(BYTE kind) const { return ReportsOfKind(id_, kind); }
    // The report number iReport of that kind, once the controller has it.
    VC_REPORT_ENTRY Report(BYTE kind, size_t iReport) const
    {
        for (ULONGLONG ullEnd = GetTickCount64() + ARRIVAL_MS; GetTickCount64() < ullEnd; Sleep(5)) {
            const std::vector<VC_REPORT_ENTRY> reports = Reports(kind);
            if (reports.size() > iReport) return reports[iReport];
        }
        ADD_FAILURE() << "report " << iReport << " never arrived";
        return {};
    }
    DWORD SetFault(BYTE kind, VC_FAULT_MODE mode, ULONG msDelay = 0, ULONG* pcCompleted = nullptr) const
    {
        return vcontroller::SetFault({id_, kind, mode, msDelay}, pcCompleted);
    }

private:
    VC_CONTROLLER_ID id_;
    DWORD result_ = ERROR_SUCCESS;
    std::wstring path_;
};

// An output report (WriteFile) or feature report (IOCTL_HID_SET_FEATURE)
// sent with overlapped I/O on a device opened with FILE_FLAG_OVERLAPPED. Its
// block is freed only once the system is done with it: a report that never
// ends leaks it.
class ReportInFlight {
public:
    ReportInFlight(HANDLE hDevice, BYTE kind, BYTE mark) : hDevice_(hDevice), p_(new Block)
    {
        p_->ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const DWORD cb = kind == VC_REPORT_OUTPUT ? VC_DEFAULT_OUTPUT_LENGTH : VC_DEFAULT_FEATURE_LENGTH;
        p_->rgb[cb - 1] = mark;
        const BOOL fDone = kind == VC_REPORT_OUTPUT ? WriteFile(hDevice, p_->rgb, cb, nullptr, &p_->ov)
                                                    : DeviceIoControl(hDevice, IOCTL_HID_SET_FEATURE, p_->rgb,
                                                                      cb, nullptr, 0, nullptr, &p_->ov);
        dwResult_ = fDone ? ERROR_SUCCESS : GetLastError();
    }
    ~ReportInFlight()
    {
        if (Result(ARRIVAL_MS) == ERROR_IO_PENDING) return; // the system still owns the block
        CloseHandle(p_->ov.hEvent);
        delete p_;
    }
    ReportInFlight(const ReportInFlight&) = delete;
    ReportInFlight& operator=(const ReportInFlight&) = delete;

    // ERROR_IO_PENDING while the controller holds it, else how it ended.
    DWORD Result(DWORD dwWaitMs)
    {
        if (dwResult_ != ERROR_IO_PENDING || WaitForSingleObject(p_->ov.hEvent, dwWaitMs) != WAIT_OBJECT_0)
            return dwResult_;
        DWORD cb = 0;
        dwResult_ = GetOverlappedResult(hDevice_, &p_->ov, &cb, FALSE) ? ERROR_SUCCESS : GetLastError();
        return dwResult_;
    }
    void Cancel() { CancelIoEx(hDevice_, &p_->ov); }

private:
    struct Block {
        OVERLAPPED ov = {};
        BYTE rgb[VC_MAX_REPORT_LENGTH] = {};
    };
    HANDLE hDevice_;
    Block* p_;
    DWORD dwResult_;
};

std::vector<BYTE> BytesOf(const VC_REPORT_ENTRY& entry)
{
    return std::vector<BYTE>(entry.rgbReport, entry.rgbReport + entry.cbReport);
}

HIDP_CAPS CapsOf(HANDLE hDevice)
{
    HIDP_CAPS caps = {};
    PHIDP_PREPARSED_DATA pData = nullptr;
    EXPECT_TRUE(HidD_GetPreparsedData(hDevice, &pData));
    if (pData) {
        EXPECT_EQ(HidP_GetCaps(pData, &caps), HIDP_STATUS_SUCCESS);
        HidD_FreePreparsedData(pData);
    }
    return caps;
}

// "Current Setting" in the real Parameters key for one test, the earlier
// value put back afterwards.
class CurrentSettingValue {
public:
    explicit CurrentSettingValue(const std::vector<BYTE>& bytes)
    {
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, PARAMETERS_KEY_PATH, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &hKey_, nullptr);
        DWORD cb = sizeof(rgbSaved_);
        fSaved_ =
            RegQueryValueExW(hKey_, L"Current Setting", nullptr, nullptr, rgbSaved_, &cb) == ERROR_SUCCESS;
        cbSaved_ = cb;
        Set(bytes);
    }
    ~CurrentSettingValue()
    {
        if (fSaved_)
            RegSetValueExW(hKey_, L"Current Setting", 0, REG_BINARY, rgbSaved_, cbSaved_);
        else
            RegDeleteValueW(hKey_, L"Current Setting");
        RegCloseKey(hKey_);
    }
    CurrentSettingValue(const CurrentSettingValue&) = delete;
    CurrentSettingValue& operator=(const CurrentSettingValue&) = delete;
    void Set(const std::vector<BYTE>& bytes)
    {
        ASSERT_EQ(RegSetValueExW(hKey_, L"Current Setting", 0, REG_BINARY, bytes.data(),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }

private:
    HKEY hKey_ = nullptr;
    BYTE rgbSaved_[512];
    DWORD cbSaved_ = 0;
    bool fSaved_ = false;
};

std::vector<BYTE> Pattern(BYTE seed)
{
    std::vector<BYTE> bytes(VC_SETTING_SIZE);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<BYTE>(seed + i * 7);
    return bytes;
}

std::vector<BYTE> SettingOf(VC_CONTROLLER_ID id)
{
    VC_SETTING setting = {};
    EXPECT_EQ(vcontroller::GetSetting(id, &setting), static_cast<DWORD>(ERROR_SUCCESS));
    if (!setting.fRead) return {};
    return std::vector<BYTE>(setting.rgbSetting, setting.rgbSetting + setting.cbSetting);
}

TEST(VirtualController, PluggedControllerIsAHidGamePadWithTheContractsLengths)
{
    PluggedController controller(CONTROLLER_A);
    ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FileHandle device(OpenDevice(controller.Path()));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE) << "the contract's open (read, write, shared) failed";

    HIDD_ATTRIBUTES attributes = {sizeof(attributes)};
    ASSERT_TRUE(HidD_GetAttributes(device.get(), &attributes));
    EXPECT_EQ(attributes.VendorID, 0x7C4A);
    EXPECT_EQ(attributes.ProductID, 0x01F1);

    const HIDP_CAPS caps = CapsOf(device.get());
    EXPECT_EQ(caps.UsagePage, 0x01); // generic desktop
    EXPECT_EQ(caps.Usage, 0x05);     // game pad
    EXPECT_EQ(caps.OutputReportByteLength, 4);
    EXPECT_EQ(caps.FeatureReportByteLength, 32);
    EXPECT_GT(caps.InputReportByteLength, 1);
}

TEST(VirtualController, UnpluggedControllerIsGoneAndCannotBeUnpluggedAgain)
{
    {
        PluggedController controller(CONTROLLER_A);
        ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
        ASSERT_EQ(vcontroller::Unplug(CONTROLLER_A), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(vcontroller::WaitForController(CONTROLLER_A, false, ARRIVAL_MS));
        std::wstring path;
        EXPECT_FALSE(vcontroller::FindControllerPath(CONTROLLER_A, &path))
            << "still listed: " << path.c_str();
        FileHandle device(OpenDevice(controller.Path()));
        EXPECT_EQ(device.get(), INVALID_HANDLE_VALUE) << "a pulled controller still opens";
    }
    EXPECT_EQ(vcontroller::Unplug(CONTROLLER_A), static_cast<DWORD>(ERROR_BAD_UNIT));
    vcontroller::ReportLog log;
    EXPECT_EQ(vcontroller::GetReports(CONTROLLER_A, &log), static_cast<DWORD>(ERROR_BAD_UNIT));
}

TEST(VirtualController, PluggingThePairAgainIsRefusedAndAPulledOneComesBack)
{
    {
        PluggedController controller(CONTROLLER_A);
        ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
        const VC_PLUG again = {CONTROLLER_A, VC_DEFAULT_OUTPUT_LENGTH, VC_DEFAULT_FEATURE_LENGTH};
        EXPECT_EQ(vcontroller::Plug(again), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
    PluggedController replugged(CONTROLLER_A);
    ASSERT_EQ(replugged.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FileHandle device(OpenDevice(replugged.Path()));
    EXPECT_NE(device.get(), INVALID_HANDLE_VALUE);
}

TEST(VirtualController, OutputReportsArriveWithTheirBytesInOrder)
{
    PluggedController controller(CONTROLLER_A);
    ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FileHandle device(OpenDevice(controller.Path()));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);

    const BYTE full[4] = {0, 0, 0xFF, 0xFF};
    const BYTE stop[4] = {0, 0, 0, 0};
    DWORD cbWritten = 0;
    EXPECT_TRUE(WriteFile(device.get(), full, sizeof(full), &cbWritten, nullptr));
    EXPECT_TRUE(WriteFile(device.get(), stop, sizeof(stop), &cbWritten, nullptr));
    // Shorter than the output report: the HID class driver refuses it.
    EXPECT_FALSE(WriteFile(device.get(), full, 3, &cbWritten, nullptr));

    const std::vector<VC_REPORT_ENTRY> reports = controller.Reports(VC_REPORT_OUTPUT);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(BytesOf(reports[0]), std::vector<BYTE>(full, full + 4));
    EXPECT_EQ(BytesOf(reports[1]), std::vector<BYTE>(stop, stop + 4));
    EXPECT_LE(reports[0].llTime, reports[1].llTime);
}

TEST(VirtualController, ReloadRequestMakesTheDriverTakeUpCurrentSetting)
{
    PluggedController controller(CONTROLLER_A);
    ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FileHandle device(OpenDevice(controller.Path()));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SettingOf(CONTROLLER_A).empty()) << "taken up before any Reload Request";

    CurrentSettingValue value(Pattern(1));
    BYTE request[32] = {};
    ASSERT_TRUE(HidD_SetFeature(device.get(), request, sizeof(request)));
    EXPECT_EQ(SettingOf(CONTROLLER_A), Pattern(1));

    // A feature report that is not all zero is no Reload Request.
    value.Set(Pattern(2));
    BYTE other[32] = {};
    other[5] = 1;
    ASSERT_TRUE(HidD_SetFeature(device.get(), other, sizeof(other)));
    EXPECT_EQ(SettingOf(CONTROLLER_A), Pattern(1));

    const std::vector<VC_REPORT_ENTRY> features = controller.Reports(VC_REPORT_FEATURE);
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(BytesOf(features[0]), std::vector<BYTE>(32, 0));
    EXPECT_EQ(BytesOf(features[1]), std::vector<BYTE>(other, other + 32));
}

TEST(VirtualController, TwoControllersEachTakeUpTheirOwnReload)
{
    PluggedController a(CONTROLLER_A);
    PluggedController b(CONTROLLER_B);
    ASSERT_EQ(a.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(b.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    CurrentSettingValue value(Pattern(3));
    BYTE request[32] = {};
    {
        FileHandle device(OpenDevice(a.Path()));
        ASSERT_TRUE(HidD_SetFeature(device.get(), request, sizeof(request)));
    }
    EXPECT_EQ(SettingOf(CONTROLLER_A), Pattern(3));
    EXPECT_TRUE(SettingOf(CONTROLLER_B).empty()) << "B took up a request sent to A";
    EXPECT_TRUE(b.Reports(VC_REPORT_FEATURE).empty());
}

constexpr LONG STATUS_DEVICE_NOT_CONNECTED_ = static_cast<LONG>(0xC000009DL);

// Each fault in turn on one kind of report: the report is recorded at its
// arrival either way, and completed at once, with an error, after the delay,
// or when the fault changes.
TEST(VirtualController, FaultDecidesHowAndWhenReportsComplete)
{
    for (BYTE kind : {VC_REPORT_OUTPUT, VC_REPORT_FEATURE}) {
        SCOPED_TRACE(kind == VC_REPORT_OUTPUT ? "output" : "feature");
        PluggedController controller(CONTROLLER_A);
        ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
        FileHandle device(OpenDevice(controller.Path(), FILE_FLAG_OVERLAPPED));
        ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
        const struct {
            VC_FAULT_MODE mode;
            ULONG msDelay;
            DWORD dwResult;
            LONG status;
        } rows[] = {
            {VC_FAULT_NONE, 0, ERROR_SUCCESS, 0},
            {VC_FAULT_FAIL, 0, ERROR_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED_},
            {VC_FAULT_DELAY, 20, ERROR_SUCCESS, 0},
            {VC_FAULT_STALL, 0, ERROR_SUCCESS, 0},
        };
        for (size_t i = 0; i < std::size(rows); ++i) {
            SCOPED_TRACE(i);
            ASSERT_EQ(controller.SetFault(kind, rows[i].mode, rows[i].msDelay),
                      static_cast<DWORD>(ERROR_SUCCESS));
            ReportInFlight report(device.get(), kind, static_cast<BYTE>(0x10 + i));
            const VC_REPORT_ENTRY arrived = controller.Report(kind, i);
            EXPECT_EQ(arrived.rgbReport[arrived.cbReport - 1], 0x10 + i) << "not recorded at its arrival";
            if (rows[i].mode == VC_FAULT_STALL) {
                EXPECT_EQ(report.Result(0), static_cast<DWORD>(ERROR_IO_PENDING)) << "a stalled report ended";
                EXPECT_EQ(arrived.llCompleted, 0) << "a stalled report is shown completed";
                ULONG cCompleted = 0;
                ASSERT_EQ(controller.SetFault(kind, VC_FAULT_NONE, 0, &cCompleted),
                          static_cast<DWORD>(ERROR_SUCCESS));
                EXPECT_EQ(cCompleted, 1u);
            }
            EXPECT_EQ(report.Result(ARRIVAL_MS), rows[i].dwResult);
            const VC_REPORT_ENTRY completed = controller.Report(kind, i);
            EXPECT_EQ(completed.status, rows[i].status);
            EXPECT_GE(completed.llCompleted, completed.llTime);
            vcontroller::ReportLog log;
            vcontroller::GetReports(CONTROLLER_A, &log);
            printf("%s report, fault %d: completed %.3f ms after its arrival\n",
                   kind == VC_REPORT_OUTPUT ? "output" : "feature", rows[i].mode,
                   log.MillisecondsAt(completed.llCompleted) - log.MillisecondsAt(completed.llTime));
        }
    }
}

// A stalled report ends when its controller is pulled, with an error. Under
// Wine the HID class driver sends the controller an IRP of its own and never
// cancels it, so CancelIoEx leaves the report pending until then.
// Each kind has a controller of its own: under Wine a controller pulled
// while the HID class driver still held a cancelled report has been seen not
// to come back at its next plug.
TEST(VirtualController, PullEndsStalledReports)
{
    const struct {
        BYTE kind;
        VC_CONTROLLER_ID id;
    } rows[] = {{VC_REPORT_OUTPUT, {0x7C4A, 0x01FD}}, {VC_REPORT_FEATURE, {0x7C4A, 0x01FE}}};
    for (const auto& row : rows) {
        const BYTE kind = row.kind;
        SCOPED_TRACE(kind == VC_REPORT_OUTPUT ? "output" : "feature");
        PluggedController controller(row.id);
        ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
        FileHandle device(OpenDevice(controller.Path(), FILE_FLAG_OVERLAPPED));
        ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
        ASSERT_EQ(controller.SetFault(kind, VC_FAULT_STALL), static_cast<DWORD>(ERROR_SUCCESS));
        ReportInFlight report(device.get(), kind, 0x21);
        controller.Report(kind, 0);
        report.Cancel();
        const DWORD dwAfterCancel = report.Result(200);
        printf("%s report stalled, 200 ms after CancelIoEx: %s (%lu)\n",
               kind == VC_REPORT_OUTPUT ? "output" : "feature",
               dwAfterCancel == ERROR_IO_PENDING ? "still pending" : "ended", dwAfterCancel);
        ASSERT_EQ(vcontroller::Unplug(row.id), static_cast<DWORD>(ERROR_SUCCESS));
        const DWORD dwAfterPull = report.Result(ARRIVAL_MS);
        printf("after the pull: error %lu\n", dwAfterPull);
        EXPECT_NE(dwAfterPull, static_cast<DWORD>(ERROR_IO_PENDING))
            << "the pull did not end a stalled report";
        EXPECT_NE(dwAfterPull, static_cast<DWORD>(ERROR_SUCCESS));
    }
}

// One controller's fault changed over and over while another is plugged and
// pulled: the end of the pulled one (in the Plug and Play manager's thread)
// and the fault changes (in the threads that serve control requests) take the
// same lock, and each always gets it back.
struct FaultChanger {
    VC_CONTROLLER_ID id;
    volatile LONG fStop;
    LONG cChanges;
    DWORD dwError;
};

DWORD WINAPI ChangeFaultsUntilStopped(LPVOID pv)
{
    auto* pChanger = static_cast<FaultChanger*>(pv);
    while (!InterlockedCompareExchange(&pChanger->fStop, 0, 0)) {
        const BYTE kind = pChanger->cChanges % 2 ? VC_REPORT_FEATURE : VC_REPORT_OUTPUT;
        pChanger->dwError = vcontroller::SetFault({pChanger->id, kind, VC_FAULT_NONE, 0});
        if (pChanger->dwError != ERROR_SUCCESS) break;
        ++pChanger->cChanges;
    }
    return 0;
}

TEST(VirtualController, FaultChangesWhileAnotherControllerComesAndGoesAllReturn)
{
    PluggedController steady(CONTROLLER_B);
    ASSERT_EQ(steady.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FaultChanger changer = {CONTROLLER_B, 0, 0, ERROR_SUCCESS};
    KernelHandle thread(CreateThread(nullptr, 0, ChangeFaultsUntilStopped, &changer, 0, nullptr));
    ASSERT_NE(thread.get(), nullptr);
    for (int i = 0; i < 8; ++i) {
        PluggedController coming(CONTROLLER_A);
        EXPECT_EQ(coming.Result(), static_cast<DWORD>(ERROR_SUCCESS)) << "plug " << i;
        if (coming.Result() != ERROR_SUCCESS) break;
    }
    InterlockedExchange(&changer.fStop, 1);
    ASSERT_EQ(WaitForSingleObject(thread.get(), ARRIVAL_MS), static_cast<DWORD>(WAIT_OBJECT_0))
        << "a fault change never returned";
    EXPECT_EQ(changer.dwError, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_GT(changer.cChanges, 0);
    printf("%ld fault changes while the other controller came and went 8 times\n", changer.cChanges);
}

TEST(VirtualController, PlugOptionsSetTheReportLengths)
{
    PluggedController controller(CONTROLLER_B, 8, 16);
    ASSERT_EQ(controller.Result(), static_cast<DWORD>(ERROR_SUCCESS));
    FileHandle device(OpenDevice(controller.Path()));
    ASSERT_NE(device.get(), INVALID_HANDLE_VALUE);
    const HIDP_CAPS caps = CapsOf(device.get());
    EXPECT_EQ(caps.OutputReportByteLength, 8);
    EXPECT_EQ(caps.FeatureReportByteLength, 16);

    const VC_PLUG tooShort = {{0x7C4A, 0x01F3}, 1, 32};
    EXPECT_EQ(vcontroller::Plug(tooShort), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
