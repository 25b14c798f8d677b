// vcbus.sys's shared structures: the bus's own device (BUS) and the device of
// each plugged controller (CONTROLLER), which lock guards which field, and
// what each of the driver's files gives the others:
//   bus_device.cpp          the bus: entry, Plug and Play, power, plugging and
//                           pulling controllers, the control requests
//   controller_device.cpp   a controller's Plug and Play, power, ids and
//                           capabilities
//   controller_reports.cpp  a controller's HID requests: the report log, the
//                           read queue and the fault modes
// Each routine says the IRQL it runs at where it matters. PAGED_CODE() marks
// the PASSIVE_LEVEL ones that could be paged; a routine that takes the spin
// lock is never pageable, at whatever level it is called.
#pragma once

#include "hid_minidriver.h"

#include "../controller_control.h"

constexpr ULONG MAX_CONTROLLERS = 16;
constexpr ULONG POOL_TAG = 0x72744356; // "VCtr"
constexpr ULONG MAX_DESCRIPTOR = 128;

// Where a device is in its Plug and Play life; only its Plug and Play
// requests move it.
enum DEVICE_PNP_STATE {
    NotStarted,            // not started yet, or removed and to be started again
    Started,               // serving requests
    StopPending,           // IRP_MN_QUERY_STOP_DEVICE answered
    Stopped,               // IRP_MN_STOP_DEVICE
    RemovePending,         // IRP_MN_QUERY_REMOVE_DEVICE answered
    SurpriseRemovePending, // IRP_MN_SURPRISE_REMOVAL: gone, waiting for IRP_MN_REMOVE_DEVICE
    Deleted                // IRP_MN_REMOVE_DEVICE
};

struct DEVICE_COMMON {
    BOOLEAN fPdo; // a controller's device, else the bus's own (fixed at creation)
    DEVICE_PNP_STATE pnpState;
    DEVICE_PNP_STATE previousPnpState; // what a cancelled query goes back to
};

struct CONTROLLER;

struct BUS {
    DEVICE_COMMON common;  // its Plug and Play requests only: the PnP manager sends one at a time
    PDEVICE_OBJECT pLower; // the root-enumerated device below
    PDEVICE_OBJECT pRootPdo;
    UNICODE_STRING controlInterface;
    // Guards the children, every controller's pnpState, log, setting, read
    // queue and report queues. Held only briefly and never across a call
    // that completes an IRP or waits.
    KSPIN_LOCK lock;
    ULONG cChildren; // lock; a controller is plugged exactly while it is listed here
    PDEVICE_OBJECT rgpChildren[MAX_CONTROLLERS]; // lock
    // Serializes what sets or waits for a controller's timers (a fault
    // change, the end of a controller) with the deletion of the controller.
    // Taken before the lock, at PASSIVE_LEVEL, and never held across
    // IoInvalidateDeviceRelations: Wine sends the children's Plug and Play
    // requests from within that call. Not a fast mutex, so that its holder
    // stays at PASSIVE_LEVEL for KeFlushQueuedDpcs; not a mutex object
    // either: Wine's KeReleaseMutex never hands one over to a thread already
    // waiting for it, which then waits for ever (a pull while the Plug and
    // Play thread ended another controller stopped every plug after it). A
    // synchronization event, signalled while free. Taken outside a critical
    // region: Wine's KeEnterCriticalRegion counts on the thread object that
    // KeGetCurrentThread gives, which in the thread serving requests is the
    // first client thread's, kept after that thread has gone.
    KEVENT faultLock;
};

// PASSIVE_LEVEL.
inline void AcquireFaultLock(BUS* pBus)
{
    KeWaitForSingleObject(&pBus->faultLock, Executive, KernelMode, FALSE, nullptr);
}

inline void ReleaseFaultLock(BUS* pBus)
{
    KeSetEvent(&pBus->faultLock, IO_NO_INCREMENT, FALSE);
}

// The fault of one kind of report and the reports it holds. The timer ticks
// every millisecond while the mode is VC_FAULT_DELAY; its DPC completes the
// reports whose time has come. It is set and cancelled only at PASSIVE_LEVEL
// under the bus's faultLock, never from its own DPC: Wine's KeSetTimerEx, on
// a timer that is set, waits for the timer's running callback while holding
// a lock that the callback takes as it returns.
struct REPORT_QUEUE {
    CONTROLLER* pCtl;   // fixed
    UCHAR kind;         // fixed: VC_REPORT_KIND
    VC_FAULT_MODE mode; // lock
    ULONG msDelay;      // lock
    LIST_ENTRY held;    // lock: IRPs stalled or delayed, oldest first
    BOOLEAN fTicking;   // faultLock: the timer is set
    KTIMER timer;
    KDPC dpc;
};

struct CONTROLLER {
    // pnpState: written by its Plug and Play requests under the lock, read by
    // its HID requests.
    DEVICE_COMMON common;
    BUS* pBus;                           // fixed
    VC_PLUG plug;                        // fixed
    UCHAR rgbDescriptor[MAX_DESCRIPTOR]; // fixed
    USHORT cbDescriptor;                 // fixed
    WCHAR szDeviceId[64];                // fixed
    WCHAR szInstanceId[16];              // fixed
    LONGLONG llPlugTime;                 // fixed
    LIST_ENTRY pendingReads;             // lock: IOCTL_HID_READ_REPORT requests (no input ever comes)
    ULONG cReports;                      // lock: received since the plug, even past what the log keeps
    VC_REPORT_ENTRY* rgLog;              // lock: VC_MAX_LOGGED_REPORTS entries, from NonPagedPoolNx
    VC_SETTING setting;                  // lock
    REPORT_QUEUE output;                 // see REPORT_QUEUE
    REPORT_QUEUE feature;
};

extern LONGLONG g_llFrequency;       // of the performance counter, fixed at DriverEntry
extern WCHAR g_szParametersKey[512]; // the service's Parameters key, in the kernel's name space

inline CONTROLLER* ControllerOf(PDEVICE_OBJECT pDevice)
{
    return static_cast<CONTROLLER*>(pDevice->DeviceExtension);
}

inline BUS* BusOf(PDEVICE_OBJECT pDevice)
{
    return static_cast<BUS*>(pDevice->DeviceExtension);
}

inline LONGLONG Now()
{
    return KeQueryPerformanceCounter(nullptr).QuadPart;
}

// Every IRP of the driver ends here. Any IRQL up to DISPATCH_LEVEL.
inline NTSTATUS Complete(PIRP pIrp, NTSTATUS status, ULONG_PTR information = 0)
{
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = information;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return status;
}

inline void SetPnpState(DEVICE_COMMON* pCommon, DEVICE_PNP_STATE state)
{
    pCommon->previousPnpState = pCommon->pnpState;
    pCommon->pnpState = state;
}

inline void RestorePnpState(DEVICE_COMMON* pCommon)
{
    pCommon->pnpState = pCommon->previousPnpState;
}

// bus_device.cpp
bool IsPlugged(BUS* pBus, PDEVICE_OBJECT pChild); // caller holds the lock

// controller_device.cpp
void InitializeIds(CONTROLLER* pCtl); // from plug.id
NTSTATUS ControllerPnp(PDEVICE_OBJECT pDevice, PIRP pIrp);
NTSTATUS ControllerPower(PDEVICE_OBJECT pDevice, PIRP pIrp);
// A controller that was never listed, or that no request can reach any more:
// its faults end, its log goes with it. PASSIVE_LEVEL.
void DeleteController(PDEVICE_OBJECT pDevice);

// controller_reports.cpp
void InitializeReports(CONTROLLER* pCtl);
NTSTATUS ControllerInternalIoctl(PDEVICE_OBJECT pDevice, PIRP pIrp);
// Sets the fault of one kind and completes, with success, every report of
// that kind the controller held; *pcCompleted says how many. PASSIVE_LEVEL,
// faultLock held.
void SetFault(CONTROLLER* pCtl, const VC_FAULT& fault, ULONG* pcCompleted);
// The controller is going: its timers stop, every report it held is completed
// with status, every pending read too. PASSIVE_LEVEL, faultLock held.
void EndRequests(CONTROLLER* pCtl, NTSTATUS status);
