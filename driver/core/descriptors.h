// Helpers of start-device and removal shared by their files.
#pragma once

#include "driver/core/devext.h"

// Frees the descriptors and interface information a start kept, and clears the pointers.
void ReleaseConfiguration(DEVICE_EXTENSION* extension);

// Reads a descriptor from the device into buffer with an 80-byte URB the caller owns; on success
// *transferred is the number of bytes the device sent.
NTSTATUS ReadDescriptor(DEVICE_OBJECT* deviceObject, URB* urb, UCHAR type, UCHAR index,
                        USHORT languageId, PVOID buffer, ULONG length, ULONG* transferred);
