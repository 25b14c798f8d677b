// A controller's device, the physical device object the bus enumerates for
// each plugged controller: its Plug and Play requests (ids, text,
// capabilities, start and removal) and its power requests. A pulled
// controller is no longer listed by its bus; its device goes at its
// IRP_MN_REMOVE_DEVICE, with its log.
#include "controller_bus.h"

namespace {

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

// The PnP manager frees what it is given with ExFreePool. PASSIVE_LEVEL.
PWCHAR PoolMultiString(const WCHAR* psz)
{
    PAGED_CODE();
    const SIZE_T cch = wcslen(psz);
    auto* p = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (cch + 2) * sizeof(WCHAR), POOL_TAG));
    if (p) {
        RtlCopyMemory(p, psz, cch * sizeof(WCHAR));
        p[cch] = 0;
        p[cch + 1] = 0;
    }
    return p;
}

void SetControllerPnpState(CONTROLLER* pCtl, DEVICE_PNP_STATE state)
{
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    SetPnpState(&pCtl->common, state);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
}

void RestoreControllerPnpState(CONTROLLER* pCtl)
{
    KIRQL irql;
    KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
    RestorePnpState(&pCtl->common);
    KeReleaseSpinLock(&pCtl->pBus->lock, irql);
}

void EndRequestsOf(CONTROLLER* pCtl)
{
    AcquireFaultLock(pCtl->pBus);
    EndRequests(pCtl, STATUS_DEVICE_NOT_CONNECTED);
    ReleaseFaultLock(pCtl->pBus);
}

} // namespace

void InitializeIds(CONTROLLER* pCtl)
{
    const VC_CONTROLLER_ID& id = pCtl->plug.id;
    PWSTR psz = Append(pCtl->szDeviceId, L"VCONTROLLER\\VID_");
    psz = AppendHex4(psz, id.wVendorID);
    psz = Append(psz, L"&PID_");
    AppendHex4(psz, id.wProductID);
    AppendHex4(AppendHex4(pCtl->szInstanceId, id.wVendorID), id.wProductID);
}

void DeleteController(PDEVICE_OBJECT pDevice)
{
    PAGED_CODE();
    CONTROLLER* pCtl = ControllerOf(pDevice);
    // Waits for a fault change that found the controller before it was
    // pulled; after this none can find it.
    EndRequestsOf(pCtl);
    if (pCtl->rgLog) ExFreePoolWithTag(pCtl->rgLog, POOL_TAG);
    IoDeleteDevice(pDevice);
}

// PASSIVE_LEVEL, one at a time (the PnP manager's thread).
NTSTATUS ControllerPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    CONTROLLER* pCtl = ControllerOf(pDevice);
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = pIrp->IoStatus.Status;
    ULONG_PTR information = pIrp->IoStatus.Information;

    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        SetControllerPnpState(pCtl, Started);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        SetControllerPnpState(pCtl, Stopped);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        SetControllerPnpState(pCtl, StopPending);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (pCtl->common.pnpState == StopPending) RestoreControllerPnpState(pCtl);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        SetControllerPnpState(pCtl, RemovePending);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (pCtl->common.pnpState == RemovePending) RestoreControllerPnpState(pCtl);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        SetControllerPnpState(pCtl, SurpriseRemovePending);
        EndRequestsOf(pCtl);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        EndRequestsOf(pCtl);
        KIRQL irql;
        KeAcquireSpinLock(&pCtl->pBus->lock, &irql);
        // A controller that is still plugged stays, to be started again;
        // one that was pulled goes with its log.
        const bool fGone = !IsPlugged(pCtl->pBus, pDevice);
        SetPnpState(&pCtl->common, fGone ? Deleted : NotStarted);
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

// As a bus driver answers for the device it enumerates: it takes every power
// state it is given, and cannot wake the system (nothing below it could
// signal a wake). Any IRQL up to DISPATCH_LEVEL.
NTSTATUS ControllerPower(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS status = pIrp->IoStatus.Status;
    switch (pStack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (pStack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pDevice, DevicePowerState, pStack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        break;
    default: // IRP_MN_POWER_SEQUENCE and what comes: left as they came
        break;
    }
    PoStartNextPowerIrp(pIrp);
    return Complete(pIrp, status, pIrp->IoStatus.Information);
}
