// The physical device object: the bus driver's dispatch for Plug and Play, power, system control
// and URB requests.
#include "platform/usb/pdo.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/vxd/configmg.h"
#include "platform/wdm/pnp.h"
#include "platform/wdm/verifier.h"

namespace platform::usb {
namespace {

PDRIVER_OBJECT gHubDriver = nullptr;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
      *capabilities = StateOf(pdo).capabilities;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
      return Complete(irp, StateOf(pdo).startStatus);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:  // a bus driver leaves requests it does not know as they are
      return Complete(irp, irp->IoStatus.Status);
  }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
    return Complete(irp, STATUS_SUCCESS);
  }
  return Complete(irp, minor == IRP_MN_WAIT_WAKE ? STATUS_NOT_SUPPORTED : irp->IoStatus.Status);
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT, PIRP irp) {
  return Complete(irp, irp->IoStatus.Status);
}

NTSTATUS DispatchInternal(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (urb == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
  return SubmitUrb(pdo, irp, urb);
}

// A descriptor read on the default pipe; the bytes it brought.
std::string Read(HostController& controller, ULONG port, UCHAR type, UCHAR index, USHORT language) {
  BYTE bytes[255] = {};
  USB_DEFAULT_PIPE_SETUP_PACKET setup{0x80, USB_REQUEST_GET_DESCRIPTOR,
                                      static_cast<USHORT>(type << 8 | index), language,
                                      sizeof(bytes)};
  ULONG transferred = 0;
  if (!USBD_SUCCESS(controller.Control(port, setup, bytes, transferred))) return {};
  return std::string(reinterpret_cast<char*>(bytes), transferred);
}

// The device's ID as the hub names it: "USB\VID_xxxx&PID_xxxx", then "\" and the serial
// number's text (low bytes of its UTF-16 units) when the device has one.
std::string DeviceId(HostController& controller, ULONG port) {
  std::string device = Read(controller, port, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
  if (device.size() < sizeof(USB_DEVICE_DESCRIPTOR)) return {};
  USB_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, device.data(), sizeof(descriptor));
  char id[64];
  std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", descriptor.idVendor,
                descriptor.idProduct);
  std::string result = id;
  if (descriptor.iSerialNumber == 0) return result;
  std::string languages = Read(controller, port, USB_STRING_DESCRIPTOR_TYPE, 0, 0);
  USHORT language = languages.size() >= 4
                        ? static_cast<USHORT>(static_cast<BYTE>(languages[2]) |
                                              static_cast<BYTE>(languages[3]) << 8)
                        : 0;
  std::string serial =
      Read(controller, port, USB_STRING_DESCRIPTOR_TYPE, descriptor.iSerialNumber, language);
  result += '\\';
  for (std::size_t i = 2; i + 1 < serial.size(); i += 2) result += serial[i];
  return result;
}

PDRIVER_OBJECT HubDriver() {
  if (gHubDriver == nullptr) {
    gHubDriver = wdm::pnp::CreateDriverObject("usbhub");
    gHubDriver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    gHubDriver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    gHubDriver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    gHubDriver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  }
  return gHubDriver;
}

}  // namespace

PdoState& StateOf(PDEVICE_OBJECT pdo) {
  return **static_cast<PdoState**>(pdo->DeviceExtension);
}

QueuedTransfer* PendingTransfer(PdoState& state, PIRP irp) {
  for (auto& queued : state.transfers) {
    if (queued->irp == irp) return queued.get();
  }
  return nullptr;
}

NTSTATUS RequestStatus(USBD_STATUS status) {
  if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
  switch (status) {
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_XACT_ERROR:  // a transaction error on the bus
      return STATUS_DEVICE_DATA_ERROR;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

DEVICE_CAPABILITIES DefaultCapabilities() {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.Removable = 1;
  capabilities.SurpriseRemovalOK = 1;
  capabilities.DeviceD2 = 1;
  capabilities.WakeFromD2 = 1;
  capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  capabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
  capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
  capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  capabilities.SystemWake = PowerSystemSleeping3;
  capabilities.DeviceWake = PowerDeviceD2;
  return capabilities;
}

PDEVICE_OBJECT CreateDevicePdo(HostController& controller, ULONG port) {
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(HubDriver(), sizeof(PdoState*), nullptr,
                                   FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return nullptr;
  auto* state = new PdoState;
  state->controller = &controller;
  state->port = port;
  state->capabilities = DefaultCapabilities();
  *static_cast<PdoState**>(pdo->DeviceExtension) = state;
  std::string id = DeviceId(controller, port);
  if (!id.empty()) state->devNode = vxd::configmg::AddDevice(id);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return pdo;
}

void SetCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES& capabilities) {
  StateOf(pdo).capabilities = capabilities;
}

void SetStartStatus(PDEVICE_OBJECT pdo, NTSTATUS status) {
  StateOf(pdo).startStatus = status;
}

void DeviceGone(PDEVICE_OBJECT pdo) {
  PdoState& state = StateOf(pdo);
  state.gone = true;
  // By index: a completion may queue (and so add) a record, never remove one.
  for (std::size_t i = 0; i < state.transfers.size(); ++i) {
    Transfer& transfer = state.transfers[i]->transfer;
    if (state.transfers[i]->irp != nullptr && state.controller->Cancel(state.port, &transfer)) {
      transfer.status = USBD_STATUS_DEVICE_GONE;
      transfer.done(transfer);
    }
  }
}

void DeleteDevicePdo(PDEVICE_OBJECT pdo) {
  if (pdo->AttachedDevice != nullptr) {
    wdm::verifier::Report("the bus deletes a device that a driver is still attached to");
  }
  if (StateOf(pdo).devNode != 0) vxd::configmg::RemoveDevice(StateOf(pdo).devNode);
  delete &StateOf(pdo);
  IoDeleteDevice(pdo);
}

}  // namespace platform::usb
