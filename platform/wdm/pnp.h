// The Plug and Play and power managers: load and unload a driver, add a device on top of a bus's
// physical device object, and send the Plug and Play and power requests in the platform's
// sequences, each waited for on the processor. A request that its driver never completes is a
// violation (after kCompletionLimit of clock time), as are a device left initialising after
// AddDevice and a dispatch routine that returns without completing or pending its request.
#pragma once

#include "platform/clock/clock.h"
#include "platform/wdm/wdm.h"

namespace platform::wdm::pnp {

constexpr clock::Duration kCompletionLimit = std::chrono::minutes(10);

// Makes a driver object named `name` and calls the driver's entry. On failure the driver object
// is gone again and *driver is null. On the processor.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const char* name, PDRIVER_OBJECT* driver);
// Calls the driver's unload routine, reports what the driver left behind (devices, pool blocks,
// request packets) and frees the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// A driver object for a driver of the platform itself (a bus driver), whose entry has nothing to
// do: every request kind is refused until the caller fills the dispatch table.
PDRIVER_OBJECT CreateDriverObject(const char* name);
void DeleteDriverObject(PDRIVER_OBJECT driver);

// Every call below runs on the processor; called from another thread it is handed to the
// processor and waited for.

// Sends one Plug and Play request to the top of physicalDevice's stack and waits until it has
// completed; returns the status it completed with.
NTSTATUS Send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction);

NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice);
// Query-stop, then stop when the query succeeded or cancel-stop when it was refused. Returns the
// status of the stop, or of the refused query.
NTSTATUS StopDevice(PDEVICE_OBJECT physicalDevice);
// Query-remove, then remove or cancel-remove, likewise.
NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice);
// The device is gone: surprise removal, then remove.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice);

// Sends a power request (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_WAIT_WAKE) to the top of
// physicalDevice's stack and waits until it has completed.
NTSTATUS SendPower(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                   POWER_STATE state);

// The text of a Plug and Play minor code ("IRP_MN_START_DEVICE"), for reports.
const char* MinorName(UCHAR minorFunction);

}  // namespace platform::wdm::pnp
