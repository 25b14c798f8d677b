// vchid.sys: the HID minidriver of the virtual controller. The HID class
// driver sits on top of it; everything the class driver asks of the device
// goes down to the controller's physical device object, which the bus
// driver (vcbus.sys) serves. It keeps no state of its own.
#include "hid_minidriver.h"

namespace {

NTSTATUS PassDown(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    auto* pExt = static_cast<HID_DEVICE_EXTENSION*>(pDevice->DeviceExtension);
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->NextDeviceObject, pIrp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    const PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return PassDown(pDevice, pIrp);
}

NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    return PassDown(pDevice, pIrp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pDevice, PIRP pIrp)
{
    return PassDown(pDevice, pIrp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT pFdo)
{
    pFdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT pDriver, PUNICODE_STRING pRegistryPath)
{
    pDriver->DriverExtension->AddDevice = AddDevice;
    pDriver->DriverUnload = DriverUnload;
    pDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    pDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    pDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;

    HID_MINIDRIVER_REGISTRATION reg = {};
    reg.Revision = HID_REVISION;
    reg.DriverObject = pDriver;
    reg.RegistryPath = pRegistryPath;
    reg.DeviceExtensionSize = sizeof(ULONG);
    reg.DevicesArePolled = FALSE;
    return HidRegisterMinidriver(&reg);
}
