// The USB stack's interface for function drivers: descriptors, URBs with their functions and
// statuses, interface and pipe information, IOCTL_INTERNAL_USB_SUBMIT_URB, and the helpers
// USBD_CreateConfigurationRequest and USBD_ParseConfigurationDescriptorEx.
//
// URBs keep the platform's 32-bit layouts (a get-descriptor URB is 80 bytes, select
// configuration 60, abort pipe 24). Where the platform has a pointer, the field holds a 32-bit
// flat address (platform/vxd/flat.h); handles are 32-bit values the stack hands out.
#pragma once

#include "platform/base/types.h"
#include "platform/vxd/flat.h"
#include "platform/wdm/wdm.h"

// ---- Descriptors -----------------------------------------------------------------------------

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);

struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
};
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);

struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
};
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);

struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
};

// The control transfer's setup stage.
struct USB_DEFAULT_PIPE_SETUP_PACKET {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);
#pragma pack(pop)

constexpr UCHAR USB_REQUEST_GET_DESCRIPTOR = 0x06;
constexpr UCHAR USB_REQUEST_SET_CONFIGURATION = 0x09;

// ---- URB -------------------------------------------------------------------------------------

using USBD_STATUS = LONG;
using USBD_PIPE_HANDLE = ULONG;           // a handle the stack hands out
using USBD_CONFIGURATION_HANDLE = ULONG;  // likewise
using USBD_INTERFACE_HANDLE = ULONG;
using FLAT_PTR = ULONG;  // a 32-bit flat address (platform::vxd::ToFlat)

constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
constexpr USBD_STATUS USBD_STATUS_PENDING = 0x40000000;
constexpr USBD_STATUS USBD_STATUS_STALL_PID = static_cast<USBD_STATUS>(0xC0000004u);
constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = static_cast<USBD_STATUS>(0xC0000005u);
constexpr USBD_STATUS USBD_STATUS_NOT_ACCESSED = static_cast<USBD_STATUS>(0xC000000Fu);
constexpr USBD_STATUS USBD_STATUS_XACT_ERROR = static_cast<USBD_STATUS>(0xC0000011u);
constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = static_cast<USBD_STATUS>(0x80000200u);
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300u);
constexpr USBD_STATUS USBD_STATUS_REQUEST_FAILED = static_cast<USBD_STATUS>(0x80000500u);
constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = static_cast<USBD_STATUS>(0x80000600u);
constexpr USBD_STATUS USBD_STATUS_BAD_START_FRAME = static_cast<USBD_STATUS>(0xC0000A00u);
constexpr USBD_STATUS USBD_STATUS_ISOCH_REQUEST_FAILED = static_cast<USBD_STATUS>(0xC0000B00u);
constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = static_cast<USBD_STATUS>(0xC0007000u);
constexpr USBD_STATUS USBD_STATUS_CANCELED = static_cast<USBD_STATUS>(0xC0010000u);

constexpr bool USBD_SUCCESS(USBD_STATUS status) {
  return status >= 0;
}

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x00000001;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x00000002;
constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 0x00000004;

constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

enum USBD_PIPE_TYPE {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3
};

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  FLAT_PTR UsbdDeviceHandle;
  ULONG UsbdFlags;
};
static_assert(sizeof(_URB_HEADER) == 16);

struct _URB_HCD_AREA {
  FLAT_PTR Reserved8[8];
};

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20);

struct USBD_INTERFACE_INFORMATION {
  USHORT Length;  // of this record with all its pipes
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;
  UCHAR SubClass;
  UCHAR Protocol;
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36);
using PUSBD_INTERFACE_INFORMATION = USBD_INTERFACE_INFORMATION*;

// The length of an interface information record with `pipes` pipes.
constexpr USHORT InterfaceInformationLength(ULONG pipes) {
  return static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                             (pipes > 1 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  FLAT_PTR ConfigurationDescriptor;  // 0: unconfigure
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 60);

struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};
static_assert(sizeof(_URB_PIPE_REQUEST) == 24);

struct _URB_GET_CURRENT_FRAME_NUMBER {
  _URB_HEADER Hdr;
  ULONG FrameNumber;
};
static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 20);

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  FLAT_PTR Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  FLAT_PTR TransferBuffer;
  FLAT_PTR TransferBufferMDL;
  FLAT_PTR UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 80);

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  FLAT_PTR TransferBuffer;
  FLAT_PTR TransferBufferMDL;
  FLAT_PTR UrbLink;
  _URB_HCD_AREA hca;
};
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 72);

struct USBD_ISO_PACKET_DESCRIPTOR {
  ULONG Offset;  // in: where the packet's bytes start in the transfer buffer
  ULONG Length;  // out (IN transfers): bytes received
  USBD_STATUS Status;
};
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

struct _URB_ISOCH_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  FLAT_PTR TransferBuffer;
  FLAT_PTR TransferBufferMDL;
  FLAT_PTR UrbLink;
  _URB_HCD_AREA hca;
  ULONG StartFrame;
  ULONG NumberOfPackets;
  ULONG ErrorCount;
  USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 96);

// The size of an isochronous URB with `packets` packets.
constexpr USHORT GET_ISO_URB_SIZE(ULONG packets) {
  return static_cast<USHORT>(sizeof(_URB_ISOCH_TRANSFER) +
                             (packets > 1 ? packets - 1 : 0) * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_PIPE_REQUEST UrbPipeRequest;
  _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
};
using PURB = URB*;

// ---- Requests --------------------------------------------------------------------------------

// CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS); the URB travels in
// Parameters.Others.Argument1 of the stack location.
constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003;

// The platform's macro: fills a get-descriptor-from-device URB. Buffers are flat-mapped memory.
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR index,
                                         USHORT languageId, PVOID transferBuffer,
                                         PVOID transferBufferMDL, ULONG transferBufferLength,
                                         PURB link) {
  _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  request.Hdr.Length = length;
  request.TransferBufferLength = transferBufferLength;
  request.TransferBufferMDL = platform::vxd::ToFlat(transferBufferMDL);
  request.TransferBuffer = platform::vxd::ToFlat(transferBuffer);
  request.DescriptorType = descriptorType;
  request.Index = index;
  request.LanguageId = languageId;
  request.UrbLink = platform::vxd::ToFlat(link);
}

// Builds the select-configuration URB for the first interface of the configuration (from pool;
// the caller frees it with ExFreePool) and sets *size to its length. A configuration without an
// interface gives a URB without interface information. Null when the pool is exhausted.
PURB USBD_CreateConfigurationRequest(USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor,
                                     PUSHORT size);

// The first interface descriptor at or after startPosition within the configuration
// (wTotalLength bytes) that matches every criterion not -1; null when there is none. A
// descriptor whose length is below 2 or runs past the end ends the search.
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor, PVOID startPosition,
    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass, LONG interfaceSubClass,
    LONG interfaceProtocol);
