// The modem's USB strings: serial number and product name as 8-bit text.
#include <cstring>

#include "driver/core/descriptors.h"

namespace {

constexpr ULONG kCallerLength = 128;
constexpr ULONG kBlockExtra = 83;    // the block holds the caller's length + 83 bytes
constexpr ULONG kBufferOffset = 96;  // the descriptor buffer follows the 80-byte URB here
constexpr ULONG kBufferShort = 13;   // the descriptor buffer is the caller's length - 13 bytes
constexpr ULONG kHeader = 2;

// Reads string 0 for the first language, then the string itself, and keeps the low byte of each
// UTF-16 unit. The field is left as it was when a read fails.
NTSTATUS ReadText(DEVICE_OBJECT* deviceObject, UCHAR stringIndex, char* field, ULONG room) {
  UCHAR buffer[kCallerLength] = {};
  ULONG length = kCallerLength;
  NTSTATUS status = USBDEV_GetStringDescriptor(deviceObject, 0, 0, buffer, &length);
  if (!NT_SUCCESS(status)) return status;
  auto language = static_cast<USHORT>(buffer[0] | buffer[1] << 8);
  length = kCallerLength;
  status = USBDEV_GetStringDescriptor(deviceObject, stringIndex, language, buffer, &length);
  if (!NT_SUCCESS(status)) return status;
  ULONG count = length / 2;
  if (count > room - 1) count = room - 1;
  for (ULONG i = 0; i < count; ++i) field[i] = static_cast<char>(buffer[2 * i]);
  field[count] = '\0';
  return STATUS_SUCCESS;
}

}  // namespace

// The text part of string descriptor `index` in `languageId`. Its length byte is trusted only as
// far as the device actually sent bytes: a length below 2 gives no text, a length beyond the
// transfer gives what was transferred.
NTSTATUS USBDEV_GetStringDescriptor(DEVICE_OBJECT* deviceObject, UCHAR index, USHORT languageId,
                                    PVOID buffer, PULONG length) {
  ULONG callerLength = *length;
  if (callerLength < kBufferShort + kHeader) return STATUS_INVALID_PARAMETER;
  ULONG blockSize = callerLength + kBlockExtra;
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, blockSize, kPoolTag));
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, blockSize);
  auto* urb = reinterpret_cast<URB*>(block);
  UCHAR* descriptor = block + kBufferOffset;
  ULONG descriptorLength = callerLength - kBufferShort;
  descriptor[0] = static_cast<UCHAR>(descriptorLength);
  descriptor[1] = USB_STRING_DESCRIPTOR_TYPE;
  ULONG transferred = 0;
  NTSTATUS status = ReadDescriptor(deviceObject, urb, USB_STRING_DESCRIPTOR_TYPE, index, languageId,
                                   descriptor, descriptorLength, &transferred);
  if (NT_SUCCESS(status)) {
    ULONG text = descriptor[0] < kHeader ? 0 : descriptor[0] - kHeader;
    ULONG held = transferred < kHeader ? 0 : transferred - kHeader;
    if (descriptor[0] > descriptorLength) {
      // A serial number cut here no longer matches the modem's child node, which carries the
      // whole one: that modem's COM port is not bound.
      DbgPrint("USBDEV_GetStringDescriptor: string %u is %u bytes long; only %u are read\n",
               static_cast<unsigned>(index), static_cast<unsigned>(descriptor[0]),
               static_cast<unsigned>(descriptorLength));
    }
    if (text > held) text = held;
    if (text > callerLength) text = callerLength;
    std::memcpy(buffer, descriptor + kHeader, text);
    *length = text;
  }
  ExFreePool(block);
  return status;
}

NTSTATUS USBDEV_GetSerialNumber(DEVICE_OBJECT* deviceObject, UCHAR stringIndex) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  return ReadText(deviceObject, stringIndex, extension->serialNumber,
                  sizeof(extension->serialNumber));
}

NTSTATUS USBDEV_GetProductName(DEVICE_OBJECT* deviceObject, UCHAR stringIndex) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  return ReadText(deviceObject, stringIndex, extension->productName,
                  sizeof(extension->productName));
}
