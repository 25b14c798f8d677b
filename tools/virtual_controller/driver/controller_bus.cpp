// vcbus.sys: the stand-in for the controller's kernel-mode driver, service
// "CorvaneWirelessController". It is the function driver of one
// root-enumerated bus device, which user programs reach through the bus's
// control interface (controller_control.h), and it enumerates one physical
// device object per plugged controller. Each controller is a game pad whose
// HID reports are served here, below vchid.sys and the HID class driver:
// every output and feature report it receives is recorded with the time of
// its arrival, and a Reload Request (an all-zero feature report of the
// controller's full length) makes it read "Current Setting" from the
// service's Parameters key again, as the real driver does.
#include "hid_minidriver.h"

#include "../controller_control.h"

namespace {

constexpr ULONG MAX_CONTROLLERS = 16;
constexpr ULONG POOL_TAG = 0x72744356; // "VCtr"
constexpr ULONG MAX_DESCRIPTOR = 128;

struct DEVICE_COMMON {
    BOOLEAN fPdo;
};

struct CONTROLLER;

struct BUS {
    DEVICE_COMMON common;
    PDEVICE_OBJECT pLower; // the root-enumerated device below
    PDEVICE_OBJECT pRootPdo;
    UNICODE_STRING controlInterface;
    KSPIN_LOCK lock; // guards the children and every report log
    ULONG cChildren;
    PDEVICE_OBJECT rgpChildren[MAX_CONTROLLERS];
};

struct CONTROLLER {
    DEVICE_COMMON common;
    BUS* pBus;
    VC_PLUG plug;
    BOOLEAN fPulled; // unplugged: refuses every request, waits for its removal
    BOOLEAN fStarted;
    LIST_ENTRY pendingReads; // IOCTL_HID_READ_REPORT requests: no input ever comes
    UCHAR rgbDescriptor[MAX_DESCRIPTOR];
    USHORT cbDescriptor;
    LONGLONG llPlugTime;
    ULONG cReports;
    VC_REPORT_ENTRY* rgLog; // VC_MAX_LOGGED_REPORTS entries
    VC_SETTING setting;
    WCHAR szDeviceId[64];
    WCHAR szInstanceId[16];
};

LONGLONG g_llFrequency;
WCHAR g_szParametersKey[512]; // the service's Parameters key, in the kernel's name space

CONTROLLER* ControllerOf(PDEVICE_OBJECT pDevice)
{
    return static_cast<CONTROLLER*>(pDevice->DeviceExtension);
}

BUS* BusOf(PDEVICE_OBJECT pDevice)
{
    return static_cast<BUS*>(pDevice->DeviceExtension);
}

LONGLONG Now()
{
    return KeQueryPerformanceCounter(nullptr).QuadPart;
}

NTSTATUS Complete(PIRP pIrp, NTSTATUS status, ULONG_PTR information = 0)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = information;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

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

void ReadCurrentSetting(VC_SETTING* pSetting)
{
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
    RtlInitUnicodeString(&valueName, L"Current Setting");
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

// ---- The controller's HID reports ----------------------------------------

// Records a report the class driver hands down. Without report ids the
// class driver may pass the report with or without its id position; the
// log always holds it from the id position on, as the program wrote it.
void RecordReport(CONTROLLER* pCtl, UCHAR kind, const HID_XFER_PACKET* pPacket, USHORT cbDeclared)
{
    VC_REPORT_ENTRY entry = {};
    entry.llTime = Now();
    entry.kind = kind;
    ULONG cb = 0;
    const bool fWithoutId = pPacket->reportBufferLen + 1 == cbDeclared;
    if (fWithoutId) entry.rgbReport[cb++] = pPacket->reportId;
    for (ULONG i = 0; i < pPacket->reportBufferLen && cb < VC_MAX_REPORT_LENGTH; ++i)
        entry.rgbReport[cb++] = pPacket->reportBuffer[i];
    entry.cbReport = static_cast<UCHAR>(cb);

    bool fReload = kind == VC_REPORT_FEATURE && cb == cbDeclared;
    for (ULONG i = 0; fReload && i < cb; ++i)
        fReload = entry.rgbReport[i] == 0;
    // The registry is read outside the lock, before the report is logged, so
    // that whoever sees the Reload Request in the log sees its setting too.
    VC_SETTING setting;
    if (fReload) ReadCurrentSetting(&setting);

    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    if (fReload) pCtl->setting = setting;
    if (pCtl->cReports < VC_MAX_LOGGED_REPORTS) pCtl->rgLog[pCtl->cReports] = entry;
    pCtl->cReports++;
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
}

void NTAPI CancelRead(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    CONTROLLER* pCtl = ControllerOf(pDevice);
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
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

NTSTATUS PendRead(CONTROLLER* pCtl, PIRP pIrp)
{
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    if (pCtl->fPulled) {
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

NTSTATUS ControllerInternalIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    const ULONG code = pStack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG cbOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;

    if (pCtl->fPulled) return Complete(pIrp, STATUS_DELETE_PENDING);

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
        return PendRead(pCtl, pIrp);
    case IOCTL_HID_WRITE_REPORT:
    case IOCTL_HID_SET_OUTPUT_REPORT: {
        auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
        RecordReport(pCtl, VC_REPORT_OUTPUT, pPacket, pCtl->plug.cbOutputReport);
        return Complete(pIrp, STATUS_SUCCESS, pPacket->reportBufferLen);
    }
    case IOCTL_HID_SET_FEATURE: {
        auto* pPacket = static_cast<HID_XFER_PACKET*>(pIrp->UserBuffer);
        RecordReport(pCtl, VC_REPORT_FEATURE, pPacket, pCtl->plug.cbFeatureReport);
        return Complete(pIrp, STATUS_SUCCESS, pPacket->reportBufferLen);
    }
    case IOCTL_HID_GET_FEATURE:
    case IOCTL_HID_GET_INPUT_REPORT: {
        // Nothing to tell: the controller's state reads as all zero.
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

// ---- Plug and Play of a controller ------------------------------------------

PWCHAR PoolMultiString(const WCHAR* psz)
{
    const SIZE_T cch = wcslen(psz);
    auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (cch + 2) * sizeof(WCHAR), POOL_TAG));
    if (p) {
        RtlCopyMemory(p, psz, cch * sizeof(WCHAR));
        p[cch] = 0;
        p[cch + 1] = 0;
    }
    return p;
}

bool DetachChild(BUS* pBus, PDEVICE_OBJECT pChild)
{
    for (ULONG i = 0; i < pBus->cChildren; ++i) {
        if (pBus->rgpChildren[i] == pChild) {
            pBus->rgpChildren[i] = pBus->rgpChildren[--pBus->cChildren];
            return true;
        }
    }
    return false;
}

void DeleteController(PDEVICE_OBJECT pDevice)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    if (pCtl->rgLog) ExFreePoolWithTag(pCtl->rgLog, POOL_TAG);
    IoDeleteDevice(pDevice);
}

NTSTATUS ControllerPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = pIrp->IoStatus.Status;
    ULONG_PTR information = pIrp->IoStatus.Information;

    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        pCtl->fStarted = TRUE;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        CompletePendingReads(pCtl);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        CompletePendingReads(pCtl);
        pCtl->fStarted = FALSE;
        KIRQL irql;
        KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
        // A controller that is still plugged stays, to be started again;
        // one that was pulled goes with its log.
        const bool fGone = pCtl->fPulled;
        KeReleaseSpinLock(&pCtl->pBus->lock, irql);
        Complete(pIrp, STATUS_SUCCESS);
        if (fGone) DeleteController(pDevice);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES pCaps = pStack->Parameters.DeviceCapabilities.Capabilities;
        pCaps->Removable = TRUE;
        pCaps->SurpriseRemovalOK = TRUE;
        pCaps->SilentInstall = TRUE;
        pCaps->UniqueID = FALSE;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID:
        switch (pStack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
        case BusQueryHardwareIDs:
            information = reinterpret_cast<ULONG_PTR>(PoolMultiString(pCtl->szDeviceId));
            break;
        case BusQueryCompatibleIDs:
            information = reinterpret_cast<ULONG_PTR>(PoolMultiString(L"VCONTROLLER\\HID"));
            break;
        case BusQueryInstanceID:
            information = reinterpret_cast<ULONG_PTR>(PoolMultiString(pCtl->szInstanceId));
            break;
        default:
            information = 0;
            break;
        }
        if (pStack->Parameters.QueryId.IdType <= BusQueryInstanceID)
            status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (pStack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
            information = reinterpret_cast<ULONG_PTR>(PoolMultiString(L"Virtual Wireless Controller"));
            status = information ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (pStack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* pRel = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), POOL_TAG));
            if (!pRel) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(pDevice);
            pRel->Count = 1;
            pRel->Objects[0] = pDevice;
            information = reinterpret_cast<ULONG_PTR>(pRel);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    return Complete(pIrp, status, information);
}

// Both end the text they write and return where it ends: the ids are
// formatted without the C runtime.
PWSTR Append(PWSTR pszTo, PCWSTR psz)
{
    while (*psz)
        *pszTo++ = *psz++;
    *pszTo = 0;
    return pszTo;
}

PWSTR AppendHex4(PWSTR pszTo, USHORT w)
{
    for (int shift = 12; shift >= 0; shift -= 4)
        *pszTo++ = L"0123456789ABCDEF"[(w >> shift) & 0xF];
    *pszTo = 0;
    return pszTo;
}

// ---- The bus ------------------------------------------------------------

PDEVICE_OBJECT FindChild(BUS* pBus, const VC_CONTROLLER_ID& id)
{
    for (ULONG i = 0; i < pBus->cChildren; ++i) {
        CONTROLLER* pCtl = ControllerOf(pBus->rgpChildren[i]);
        if (pCtl->plug.id.wVendorID == id.wVendorID && pCtl->plug.id.wProductID == id.wProductID)
            return pBus->rgpChildren[i];
    }
    return nullptr;
}

NTSTATUS Plug(PDEVICE_OBJECT pBusDevice, const VC_PLUG& plug)
{
    BUS* pBus = BusOf(pBusDevice);
    if (plug.cbOutputReport < VC_MIN_REPORT_LENGTH || plug.cbOutputReport > VC_MAX_REPORT_LENGTH ||
        plug.cbFeatureReport < VC_MIN_REPORT_LENGTH || plug.cbFeatureReport > VC_MAX_REPORT_LENGTH)
        return STATUS_INVALID_PARAMETER;

    PDEVICE_OBJECT pChild = nullptr;
    NTSTATUS status = IoCreateDevice(pBusDevice->DriverObject, sizeof(CONTROLLER), nullptr,
                                     FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pChild);
    if (!NT_SUCCESS(status)) return status;
    CONTROLLER* pCtl = ControllerOf(pChild);
    RtlZeroMemory(pCtl, sizeof(*pCtl));
    pCtl->common.fPdo = TRUE;
    pCtl->pBus = pBus;
    pCtl->plug = plug;
    InitializeListHead(&pCtl->pendingReads);
    pCtl->cbDescriptor =
        BuildReportDescriptor(pCtl->rgbDescriptor, plug.cbOutputReport, plug.cbFeatureReport);
    pCtl->rgLog = static_cast<VC_REPORT_ENTRY*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(VC_REPORT_ENTRY) * VC_MAX_LOGGED_REPORTS, POOL_TAG));
    if (!pCtl->rgLog) {
        IoDeleteDevice(pChild);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PWSTR psz = Append(pCtl->szDeviceId, L"VCONTROLLER\\VID_");
    psz = AppendHex4(psz, plug.id.wVendorID);
    psz = Append(psz, L"&PID_");
    AppendHex4(psz, plug.id.wProductID);
    AppendHex4(AppendHex4(pCtl->szInstanceId, plug.id.wVendorID), plug.id.wProductID);
    pCtl->llPlugTime = Now();

    KIRQL irql;
    KeAcquireSpinLock(&pBus->lock, &irql);
    if (FindChild(pBus, plug.id))
        status = STATUS_OBJECT_NAME_COLLISION;
    else if (pBus->cChildren == MAX_CONTROLLERS)
        status = STATUS_INSUFFICIENT_RESOURCES;
    else
        pBus->rgpChildren[pBus->cChildren++] = pChild;
    KeReleaseSpinLock(&pBus->lock, irql);
    if (!NT_SUCCESS(status)) {
        DeleteController(pChild);
        return status;
    }
    pChild->Flags &= ~DO_DEVICE_INITIALIZING;
    IoInvalidateDeviceRelations(pBus->pRootPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS Unplug(BUS* pBus, const VC_CONTROLLER_ID& id)
{
    KIRQL irql;
    KeAcquireSpinLock(&pBus->lock, &irql);
    PDEVICE_OBJECT pChild = FindChild(pBus, id);
    if (pChild) {
        DetachChild(pBus, pChild);
        ControllerOf(pChild)->fPulled = TRUE;
    }
    KeReleaseSpinLock(&pBus->lock, irql);
    if (!pChild) return STATUS_NO_SUCH_DEVICE;
    CompletePendingReads(ControllerOf(pChild));
    IoInvalidateDeviceRelations(pBus->pRootPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS BusIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    BUS* pBus = BusOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    const ULONG cbIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG cbOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    void* pBuffer = pIrp->AssociatedIrp.SystemBuffer;

    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_VC_PLUG:
        if (cbIn < sizeof(VC_PLUG)) return Complete(pIrp, STATUS_INVALID_PARAMETER);
        return Complete(pIrp, Plug(pDevice, *static_cast<VC_PLUG*>(pBuffer)));
    case IOCTL_VC_UNPLUG:
        if (cbIn < sizeof(VC_CONTROLLER_ID)) return Complete(pIrp, STATUS_INVALID_PARAMETER);
        return Complete(pIrp, Unplug(pBus, *static_cast<VC_CONTROLLER_ID*>(pBuffer)));
    case IOCTL_VC_GET_REPORTS: {
        if (cbIn < sizeof(VC_REPORTS_QUERY) || cbOut < sizeof(VC_REPORT_LOG))
            return Complete(pIrp, STATUS_INVALID_PARAMETER);
        const VC_REPORTS_QUERY query = *static_cast<VC_REPORTS_QUERY*>(pBuffer);
        auto* pLog = static_cast<VC_REPORT_LOG*>(pBuffer);
        auto* rgEntries = reinterpret_cast<VC_REPORT_ENTRY*>(pLog + 1);
        const ULONG cFit = (cbOut - sizeof(VC_REPORT_LOG)) / sizeof(VC_REPORT_ENTRY);
        KIRQL irql;
        KeAcquireSpinLock(&pBus->lock, &irql);
        PDEVICE_OBJECT pChild = FindChild(pBus, query.id);
        if (pChild) {
            CONTROLLER* pCtl = ControllerOf(pChild);
            const ULONG cLogged =
                pCtl->cReports < VC_MAX_LOGGED_REPORTS ? pCtl->cReports : VC_MAX_LOGGED_REPORTS;
            const ULONG cLeft = query.iFirst < cLogged ? cLogged - query.iFirst : 0;
            pLog->llFrequency = g_llFrequency;
            pLog->llPlugTime = pCtl->llPlugTime;
            pLog->cReports = pCtl->cReports;
            pLog->cEntries = cLeft < cFit ? cLeft : cFit;
            RtlCopyMemory(rgEntries, pCtl->rgLog + (cLeft ? query.iFirst : 0),
                          pLog->cEntries * sizeof(VC_REPORT_ENTRY));
        }
        KeReleaseSpinLock(&pBus->lock, irql);
        if (!pChild) return Complete(pIrp, STATUS_NO_SUCH_DEVICE);
        return Complete(pIrp, STATUS_SUCCESS,
                        sizeof(VC_REPORT_LOG) + pLog->cEntries * sizeof(VC_REPORT_ENTRY));
    }
    case IOCTL_VC_GET_SETTING: {
        if (cbIn < sizeof(VC_CONTROLLER_ID) || cbOut < sizeof(VC_SETTING))
            return Complete(pIrp, STATUS_INVALID_PARAMETER);
        const VC_CONTROLLER_ID id = *static_cast<VC_CONTROLLER_ID*>(pBuffer);
        KIRQL irql;
        KeAcquireSpinLock(&pBus->lock, &irql);
        PDEVICE_OBJECT pChild = FindChild(pBus, id);
        if (pChild) *static_cast<VC_SETTING*>(pBuffer) = ControllerOf(pChild)->setting;
        KeReleaseSpinLock(&pBus->lock, irql);
        if (!pChild) return Complete(pIrp, STATUS_NO_SUCH_DEVICE);
        return Complete(pIrp, STATUS_SUCCESS, sizeof(VC_SETTING));
    }
    default:
        return Complete(pIrp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS BusPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    BUS* pBus = BusOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        IoSetDeviceInterfaceState(&pBus->controlInterface, TRUE);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        IoSetDeviceInterfaceState(&pBus->controlInterface, FALSE);
        KIRQL irql;
        KeAcquireSpinLock(&pBus->lock, &irql);
        const ULONG cChildren = pBus->cChildren;
        PDEVICE_OBJECT rgpChildren[MAX_CONTROLLERS];
        for (ULONG i = 0; i < cChildren; ++i)
            rgpChildren[i] = pBus->rgpChildren[i];
        pBus->cChildren = 0;
        KeReleaseSpinLock(&pBus->lock, irql);
        for (ULONG i = 0; i < cChildren; ++i)
            DeleteController(rgpChildren[i]);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(pIrp);
        const NTSTATUS status = IoCallDriver(pBus->pLower, pIrp);
        IoDetachDevice(pBus->pLower);
        RtlFreeUnicodeString(&pBus->controlInterface);
        IoDeleteDevice(pDevice);
        return status;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (pStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            // Paged memory is allocated before the spin lock raises the IRQL.
            auto* pRel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                PagedPool, sizeof(DEVICE_RELATIONS) + MAX_CONTROLLERS * sizeof(PDEVICE_OBJECT), POOL_TAG));
            if (!pRel) return Complete(pIrp, STATUS_INSUFFICIENT_RESOURCES);
            KIRQL irql;
            KeAcquireSpinLock(&pBus->lock, &irql);
            pRel->Count = pBus->cChildren;
            for (ULONG i = 0; i < pBus->cChildren; ++i) {
                pRel->Objects[i] = pBus->rgpChildren[i];
                ObReferenceObject(pBus->rgpChildren[i]);
            }
            KeReleaseSpinLock(&pBus->lock, irql);
            pIrp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(pRel);
            pIrp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pBus->pLower, pIrp);
}

// ---- Dispatch ----------------------------------------------------------------

bool IsController(PDEVICE_OBJECT pDevice)
{
    return static_cast<DEVICE_COMMON*>(pDevice->DeviceExtension)->fPdo;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    return IsController(pDevice) ? ControllerPnp(pDevice, pIrp) : BusPnp(pDevice, pIrp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    if (IsController(pDevice)) return Complete(pIrp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(BusOf(pDevice)->pLower, pIrp);
}

NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    if (!IsController(pDevice)) return Complete(pIrp, STATUS_NOT_SUPPORTED);
    return ControllerInternalIoctl(pDevice, pIrp);
}

NTSTATUS NTAPI DispatchIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    if (IsController(pDevice)) return Complete(pIrp, STATUS_NOT_SUPPORTED);
    return BusIoctl(pDevice, pIrp);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP pIrp)
{
    return Complete(pIrp, STATUS_SUCCESS);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT pDriver, PDEVICE_OBJECT pRootPdo)
{
    PDEVICE_OBJECT pFdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(pDriver, sizeof(BUS), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pFdo);
    if (!NT_SUCCESS(status)) return status;
    BUS* pBus = BusOf(pFdo);
    RtlZeroMemory(pBus, sizeof(*pBus));
    KeInitializeSpinLock(&pBus->lock);
    pBus->pRootPdo = pRootPdo;
    status = IoRegisterDeviceInterface(pRootPdo, &GUID_DEVINTERFACE_VCONTROLLER_BUS, nullptr,
                                       &pBus->controlInterface);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(pFdo);
        return status;
    }
    pBus->pLower = IoAttachDeviceToDeviceStack(pFdo, pRootPdo);
    pFdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriver, PUNICODE_STRING pRegistryPath)
{
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    g_llFrequency = frequency.QuadPart;

    const ULONG cch = pRegistryPath->Length / sizeof(WCHAR);
    const WCHAR szSuffix[] = L"\\Parameters";
    if (cch + sizeof(szSuffix) / sizeof(WCHAR) > sizeof(g_szParametersKey) / sizeof(WCHAR))
        return STATUS_NAME_TOO_LONG;
    RtlCopyMemory(g_szParametersKey, pRegistryPath->Buffer, cch * sizeof(WCHAR));
    RtlCopyMemory(g_szParametersKey + cch, szSuffix, sizeof(szSuffix));

    pDriver->DriverExtension->AddDevice = AddDevice;
    pDriver->DriverUnload = DriverUnload;
    pDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    pDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    pDriver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIoctl;
    pDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
    pDriver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    pDriver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    return STATUS_SUCCESS;
}
