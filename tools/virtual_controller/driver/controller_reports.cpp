// A controller's HID requests, as the HID class driver hands them down
// through vchid.sys: its descriptors and strings, the read queue (no input
// ever comes), and the output and feature reports. Every output and feature
// report it receives is recorded with the time of its arrival, and with the
// time and status of its completion once it is completed; a Reload Request
// (an all-zero feature report of the controller's full length) makes it read
// "Current Setting" from the service's Parameters key again, as the real
// driver does. How it completes a report depends on that kind's fault mode
// (VC_FAULT_MODE): at once, held until the fault changes or the controller
// goes, held for a delay, or failed at once.
#include "controller_bus.h"

namespace {

// A game pad (two axes, eight buttons) with a vendor-defined output report
// (the Motor Report) and feature report (the Reload Request), no report ids.
// The lengths given count the report id position, as HidP_GetCaps does.
USHORT BuildReportDescriptor(UCHAR* p, USHORT cbOutput, USHORT cbFeature)
{
    const UCHAR head[] = {
        0x05, 0x01,             // Usage Page (Generic Desktop)
        0x09, 0x05,             // Usage (Game Pad)
        0xA1, 0x01,             // Collection (Application)
        0x09, 0x30, 0x09, 0x31, //   Usage (X), Usage (Y)
        0x15, 0x00,             //   Logical Minimum (0)
        0x26, 0xFF, 0x00,       //   Logical Maximum (255)
        0x75, 0x08,             //   Report Size (8)
        0x95, 0x02,             //   Report Count (2)
        0x81, 0x02,             //   Input (Data, Variable, Absolute)
        0x05, 0x09,             //   Usage Page (Button)
        0x19, 0x01, 0x29, 0x08, //   Usage Minimum (1), Usage Maximum (8)
        0x25, 0x01,             //   Logical Maximum (1)
        0x75, 0x01,             //   Report Size (1)
        0x95, 0x08,             //   Report Count (8)
        0x81, 0x02,             //   Input (Data, Variable, Absolute)
        0x06, 0x00, 0xFF,       //   Usage Page (Vendor Defined)
        0x26, 0xFF, 0x00,       //   Logical Maximum (255)
        0x75, 0x08,             //   Report Size (8)
        0x09, 0x01,             //   Usage (1): the motors
    };
    USHORT cb = 0;
    for (UCHAR b : head)
        p[cb++] = b;
    p[cb++] = 0x95; //   Report Count
    p[cb++] = static_cast<UCHAR>(cbOutput - 1);
    p[cb++] = 0x91; //   Output (Data, Variable, Absolute)
    p[cb++] = 0x02;
    p[cb++] = 0x09; //   Usage (2): the settings
    p[cb++] = 0x02;
    p[cb++] = 0x95; //   Report Count
    p[cb++] = static_cast<UCHAR>(cbFeature - 1);
    p[cb++] = 0xB1; //   Feature (Data, Variable, Absolute)
    p[cb++] = 0x02;
    p[cb++] = 0xC0; // End Collection
    return cb;
}

// ---- "Current Setting" ------------------------------------------------------

// PASSIVE_LEVEL: the registry.
void ReadCurrentSetting(VC_SETTING* pSetting)
{
    PAGED_CODE();
    pSetting->fRead = 1;
    pSetting->cbSetting = 0;
    RtlZeroMemory(pSetting->rgbSetting, sizeof(pSetting->rgbSetting));

    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, g_szParametersKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE hKey = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_QUERY_VALUE, &attributes))) return;

    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, CURRENT_SETTING_VALUE);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + VC_SETTING_SIZE];
    ULONG cbResult = 0;
    auto* pInfo = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    const NTSTATUS status =
        ZwQueryValueKey(hKey, &valueName, KeyValuePartialInformation, pInfo, sizeof(buffer), &cbResult);
    if (NT_SUCCESS(status) && pInfo->Type == REG_BINARY) {
        pSetting->cbSetting = pInfo->DataLength < VC_SETTING_SIZE ? pInfo->DataLength : VC_SETTING_SIZE;
        RtlCopyMemory(pSetting->rgbSetting, pInfo->Data, pSetting->cbSetting);
    }
    ZwClose(hKey);
}

// ---- The read queue ---------------------------------------------------------

// The start of every cancel routine here: DISPATCH_LEVEL, the cancel spin
// lock held on entry and given up at once; the IRP leaves the list that
// holds it (a read queue or a held-report queue, both under the bus's lock).
CONTROLLER* UnlinkCancelledIrp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    CONTROLLER* pCtl = ControllerOf(pDevice);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    return pCtl;
}

void NTAPI CancelRead(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    UnlinkCancelledIrp(pDevice, pIrp);
    Complete(pIrp, STATUS_CANCELLED);
}

// Ends every pending read: the controller is going.
void CompletePendingReads(CONTROLLER* pCtl)
{
    for (;;) {
        PIRP pIrp = nullptr;
        KIRQL irql;
        KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
        while (!IsListEmpty(&pCtl->pendingReads)) {
            PLIST_ENTRY pEntry = RemoveHeadList(&pCtl->pendingReads);
            PIRP pCandidate = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
            if (IoSetCancelRoutine(pCandidate, nullptr)) {
                pIrp = pCandidate;
                break;
            }
            // Being cancelled: its cancel routine completes it.
            InitializeListHead(&pCandidate->Tail.Overlay.ListEntry);
        }
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        if (!pIrp) return;
        Complete(pIrp, STATUS_DELETE_PENDING);
    }
}

// A pulled controller, or one whose removal has begun, refuses every
// request. Caller holds the lock.
bool IsServing(PDEVICE_OBJECT pDevice)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    return IsPlugged(pCtl->pBus, pDevice) && pCtl->common.pnpState < SurpriseRemovePending;
}

NTSTATUS PendRead(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    if (!IsServing(pDevice)) {
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        return Complete(pIrp, STATUS_DELETE_PENDING);
    }
    IoSetCancelRoutine(pIrp, CancelRead);
    if (pIrp->Cancel && IoSetCancelRoutine(pIrp, nullptr)) {
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        return Complete(pIrp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(pIrp);
    InsertTailList(&pCtl->pendingReads, &pIrp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    return STATUS_PENDING;
}

// ---- Output and feature reports ----------------------------------------------

// A held IRP carries the index of its log entry (MAXULONG_PTR for a report
// the log does not keep) and, when delayed, the performance counter at which
// it is due.
ULONG_PTR LogIndexOf(PIRP pIrp)
{
    return reinterpret_cast<ULONG_PTR>(pIrp->Tail.Overlay.DriverContext[0]);
}

void SetLogIndex(PIRP pIrp, ULONG_PTR iEntry)
{
    pIrp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(iEntry);
}

LONGLONG DueTimeOf(PIRP pIrp)
{
    return static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(pIrp->Tail.Overlay.DriverContext[1]));
}

void SetDueTime(PIRP pIrp, LONGLONG llDue)
{
    pIrp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(llDue));
}

REPORT_QUEUE* QueueOf(CONTROLLER* pCtl, UCHAR kind)
{
    return kind == VC_REPORT_FEATURE ? &pCtl->feature : &pCtl->output;
}

// Stamps the report's completion in the log and completes it. Any IRQL up to
// DISPATCH_LEVEL, the lock not held.
NTSTATUS CompleteReport(CONTROLLER* pCtl, PIRP pIrp, NTSTATUS status)
{
    const ULONG_PTR iEntry = LogIndexOf(pIrp);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    if (iEntry < VC_MAX_LOGGED_REPORTS) {
        pCtl->rgLog[iEntry].status = status;
        pCtl->rgLog[iEntry].llCompleted = Now();
    }
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    const auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
    return Complete(pIrp, status, NT_SUCCESS(status) ? pPacket->reportBufferLen : 0);
}

// Only a stack that forwards cancellation gets here: Wine's HID class driver sends its own
// IRP down and never cancels it.
void NTAPI CancelHeldReport(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CompleteReport(UnlinkCancelledIrp(pDevice, pIrp), pIrp, STATUS_CANCELLED);
}

// Moves the held reports (all of them, or those due by llDueBy) to pTaken,
// oldest first. Caller holds the lock.
void TakeHeldReports(REPORT_QUEUE* pQueue, LONGLONG llDueBy, PLIST_ENTRY pTaken)
{
    while (!IsListEmpty(&pQueue->held)) {
        PIRP pIrp = CONTAINING_RECORD(pQueue->held.Flink, IRP, Tail.Overlay.ListEntry);
        if (llDueBy && DueTimeOf(pIrp) > llDueBy) return; // the later ones are due later still
        RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
        // One that is being cancelled is left to its cancel routine.
        if (IoSetCancelRoutine(pIrp, nullptr))
            InsertTailList(pTaken, &pIrp->Tail.Overlay.ListEntry);
        else
            InitializeListHead(&pIrp->Tail.Overlay.ListEntry);
    }
}

ULONG CompleteTakenReports(CONTROLLER* pCtl, PLIST_ENTRY pTaken, NTSTATUS status)
{
    ULONG c = 0;
    while (!IsListEmpty(pTaken)) {
        PIRP pIrp = CONTAINING_RECORD(RemoveHeadList(pTaken), IRP, Tail.Overlay.ListEntry);
        CompleteReport(pCtl, pIrp, status);
        ++c;
    }
    return c;
}

// The timer's DPC, every millisecond while the fault is a delay: completes the
// reports whose delay is over. DISPATCH_LEVEL (under Wine, a thread pool
// thread).
void NTAPI CompleteDueReports(PKDPC, PVOID pContext, PVOID, PVOID)
{
    auto* pQueue = static_cast<REPORT_QUEUE*>(pContext);
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    KIRQL irql;
    KeAcquireSpinLock(&pQueue->pCtl->pBus->lock, &irql);
    TakeHeldReports(pQueue, Now(), &taken);
    KeReleaseSpinLock(&pQueue->pCtl->pBus->lock, irql);
    CompleteTakenReports(pQueue->pCtl, &taken, STATUS_SUCCESS);
}

// Stops the timer and waits until its DPC has run for the last time.
// PASSIVE_LEVEL, faultLock held.
void StopTicking(REPORT_QUEUE* pQueue)
{
    PAGED_CODE();
    if (!pQueue->fTicking) return;
    KeCancelTimer(&pQueue->timer);
    KeFlushQueuedDpcs();
    pQueue->fTicking = FALSE;
}

void InitializeQueue(REPORT_QUEUE* pQueue, CONTROLLER* pCtl, UCHAR kind)
{
    pQueue->pCtl = pCtl;
    pQueue->kind = kind;
    pQueue->mode = VC_FAULT_NONE;
    InitializeListHead(&pQueue->held);
    KeInitializeTimer(&pQueue->timer);
    KeInitializeDpc(&pQueue->dpc, CompleteDueReports, pQueue);
}

// Records the report the class driver hands down and answers it as the
// fault of its kind says. Without report ids the class driver may pass the
// report with or without its id position; the log always holds it from the
// id position on, as the program wrote it. PASSIVE_LEVEL: a Reload Request
// reads the registry.
NTSTATUS TakeReport(PDEVICE_OBJECT pDevice, PIRP pIrp, UCHAR kind, bool fRecord)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    const USHORT cbDeclared =
        kind == VC_REPORT_FEATURE ? pCtl->plug.cbFeatureReport : pCtl->plug.cbOutputReport;
    const auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
    VC_REPORT_ENTRY entry = {};
    entry.llTime = Now();
    entry.kind = kind;
    ULONG cb = 0;
    const bool fWithoutId = pPacket->reportBufferLen + 1 == cbDeclared;
    if (fWithoutId) entry.rgbReport[cb++] = pPacket->reportId;
    for (ULONG i = 0; i < pPacket->reportBufferLen && cb < VC_MAX_REPORT_LENGTH; ++i)
        entry.rgbReport[cb++] = pPacket->reportBuffer[i];
    entry.cbReport = static_cast<UCHAR>(cb);

    bool fReload = fRecord && kind == VC_REPORT_FEATURE && cb == cbDeclared;
    for (ULONG i = 0; fReload && i < cb; ++i)
        fReload = entry.rgbReport[i] == 0;
    // The registry is read outside the lock, before the report is logged, so
    // that whoever sees the Reload Request in the log sees its setting too.
    VC_SETTING setting;
    if (fReload) ReadCurrentSetting(&setting);

    REPORT_QUEUE* pQueue = QueueOf(pCtl, kind);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    if (!IsServing(pDevice)) {
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        return Complete(pIrp, STATUS_DELETE_PENDING);
    }
    SetLogIndex(pIrp, MAXULONG_PTR);
    if (fRecord) {
        if (fReload) pCtl->setting = setting;
        if (pCtl->cReports < VC_MAX_LOGGED_REPORTS) {
            SetLogIndex(pIrp, pCtl->cReports);
            pCtl->rgLog[pCtl->cReports] = entry;
        }
        pCtl->cReports++;
    }
    const VC_FAULT_MODE mode = pQueue->mode;
    if (mode == VC_FAULT_STALL || mode == VC_FAULT_DELAY) {
        SetDueTime(pIrp, mode == VC_FAULT_DELAY
                             ? entry.llTime + static_cast<LONGLONG>(pQueue->msDelay) * g_llFrequency / 1000
                             : 0);
        IoSetCancelRoutine(pIrp, CancelHeldReport);
        if (pIrp->Cancel && IoSetCancelRoutine(pIrp, nullptr)) {
            KeReleaseSpinLock(&pCtl->pBus->lock, irql);
            return CompleteReport(pCtl, pIrp, STATUS_CANCELLED);
        }
        IoMarkIrpPending(pIrp);
        InsertTailList(&pQueue->held, &pIrp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    return CompleteReport(pCtl, pIrp, mode == VC_FAULT_FAIL ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS);
}

const WCHAR* StringOf(CONTROLLER* pCtl, ULONG id)
{
    switch (id) {
    case HID_STRING_ID_IMANUFACTURER:
        return L"Corvane";
    case HID_STRING_ID_IPRODUCT:
        return L"Virtual Wireless Controller";
    case HID_STRING_ID_ISERIALNUMBER:
        return pCtl->szInstanceId;
    default:
        return nullptr;
    }
}

} // namespace

void InitializeReports(CONTROLLER* pCtl)
{
    InitializeListHead(&pCtl->pendingReads);
    InitializeQueue(&pCtl->output, pCtl, VC_REPORT_OUTPUT);
    InitializeQueue(&pCtl->feature, pCtl, VC_REPORT_FEATURE);
    pCtl->cbDescriptor =
        BuildReportDescriptor(pCtl->rgbDescriptor, pCtl->plug.cbOutputReport, pCtl->plug.cbFeatureReport);
}

void SetFault(CONTROLLER* pCtl, const VC_FAULT& fault, ULONG* pcCompleted)
{
    REPORT_QUEUE* pQueue = QueueOf(pCtl, fault.kind);
    LIST_ENTRY taken;
    InitializeListHead(&taken);
    // The timer stops before the mode changes, so that its DPC never sees a
    // queue that SetFault is emptying.
    StopTicking(pQueue);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    pQueue->mode = static_cast<VC_FAULT_MODE>(fault.mode);
    pQueue->msDelay = fault.msDelay;
    TakeHeldReports(pQueue, 0, &taken);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    if (fault.mode == VC_FAULT_DELAY) {
        LARGE_INTEGER due;
        due.QuadPart = -10000; // 1 ms from now, in 100 ns units
        KeSetTimerEx(&pQueue->timer, due, 1, &pQueue->dpc);
        pQueue->fTicking = TRUE;
    }
    *pcCompleted = CompleteTakenReports(pCtl, &taken, STATUS_SUCCESS);
}

void EndRequests(CONTROLLER* pCtl, NTSTATUS status)
{
    REPORT_QUEUE* rgpQueues[] = {&pCtl->output, &pCtl->feature};
    for (REPORT_QUEUE* pQueue : rgpQueues) {
        StopTicking(pQueue);
        LIST_ENTRY taken;
        InitializeListHead(&taken);
        KIRQL irql;
        KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
        pQueue->mode = VC_FAULT_NONE;
        TakeHeldReports(pQueue, 0, &taken);
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        CompleteTakenReports(pCtl, &taken, status);
    }
    CompletePendingReads(pCtl);
}

// Arbitrary thread, PASSIVE_LEVEL: the HID class driver's internal requests.
NTSTATUS ControllerInternalIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    const ULONG code = pStack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG cbOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;

    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    const bool fServing = IsServing(pDevice);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
    if (!fServing) return Complete(pIrp, STATUS_DELETE_PENDING);

    switch (code) {
    case IOCTL_HID_GET_DEVICE_DESCRIPTOR: {
        if (cbOut < sizeof(HID_DESCRIPTOR)) return Complete(pIrp, STATUS_BUFFER_TOO_SMALL);
        auto* pDesc = static_cast<HID_DESCRIPTOR*>(pIrp->UserBuffer);
        RtlZeroMemory(pDesc, sizeof(*pDesc));
        pDesc->bLength = sizeof(*pDesc);
        pDesc->bDescriptorType = HID_HID_DESCRIPTOR_TYPE;
        pDesc->bcdHID = 0x0111;
        pDesc->bNumDescriptors = 1;
        pDesc->DescriptorList[0].bReportType = HID_REPORT_DESCRIPTOR_TYPE;
        pDesc->DescriptorList[0].wReportLength = pCtl->cbDescriptor;
        return Complete(pIrp, STATUS_SUCCESS, sizeof(*pDesc));
    }
    case IOCTL_HID_GET_REPORT_DESCRIPTOR:
        if (cbOut < pCtl->cbDescriptor) return Complete(pIrp, STATUS_BUFFER_TOO_SMALL);
        RtlCopyMemory(pIrp->UserBuffer, pCtl->rgbDescriptor, pCtl->cbDescriptor);
        return Complete(pIrp, STATUS_SUCCESS, pCtl->cbDescriptor);
    case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
        if (cbOut < sizeof(HID_DEVICE_ATTRIBUTES)) return Complete(pIrp, STATUS_BUFFER_TOO_SMALL);
        auto* pAttr = static_cast<HID_DEVICE_ATTRIBUTES*>(pIrp->UserBuffer);
        RtlZeroMemory(pAttr, sizeof(*pAttr));
        pAttr->Size = sizeof(*pAttr);
        pAttr->VendorID = pCtl->plug.id.wVendorID;
        pAttr->ProductID = pCtl->plug.id.wProductID;
        pAttr->VersionNumber = 0x0100;
        return Complete(pIrp, STATUS_SUCCESS, sizeof(*pAttr));
    }
    case IOCTL_HID_GET_STRING: {
        const ULONG id = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(
                             pStack->Parameters.DeviceIoControl.Type3InputBuffer)) &
                         0xFFFF;
        const WCHAR* psz = StringOf(pCtl, id);
        if (!psz) return Complete(pIrp, STATUS_INVALID_PARAMETER);
        const ULONG cb = static_cast<ULONG>((wcslen(psz) + 1) * sizeof(WCHAR));
        if (cbOut < cb) return Complete(pIrp, STATUS_BUFFER_TOO_SMALL);
        RtlCopyMemory(pIrp->UserBuffer, psz, cb);
        return Complete(pIrp, STATUS_SUCCESS, cb);
    }
    case IOCTL_HID_READ_REPORT:
        return PendRead(pDevice, pIrp);
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_OUTPUT_REPORT:
        return TakeReport(pDevice, pIrp, VC_REPORT_OUTPUT, true);
    case IOCTL_HID_SET_FEATURE:
        return TakeReport(pDevice, pIrp, VC_REPORT_FEATURE, true);
    case IOCTL_HID_GET_FEATURE: {
        // Nothing to tell: the controller's state reads as all zero. Not
        // logged, but answered as the feature fault says.
        auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
        RtlZeroMemory(pPacket->reportBuffer, pPacket->reportBufferLen);
        return TakeReport(pDevice, pIrp, VC_REPORT_FEATURE, false);
    }
    case IOCTL_HID_GET_INPUT_REPORT: {
        auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
        RtlZeroMemory(pPacket->reportBuffer, pPacket->reportBufferLen);
        return Complete(pIrp, STATUS_SUCCESS, pPacket->reportBufferLen);
    }
    case IOCTL_HID_ACTIVATE_DEVICE:
    case IOCTL_HID_DEACTIVATE_DEVICE:
        return Complete(pIrp, STATUS_SUCCESS);
    default:
        return Complete(pIrp, STATUS_NOT_SUPPORTED);
    }
}
