// Installing the modem: registering with the configuration manager at start-device, and the
// enumerator that makes the modem's child node, sets it up and binds it to a COM port.
#include <cstdio>
#include <cstring>

#include "driver/install/install.h"

namespace {

constexpr char kUsbIdPrefix[] = "USB\\VID_F3A9&PID_5201\\";
constexpr char kModemClass[] = "Modem";
constexpr char kHardwareId[] = "NRV5201";
constexpr ULONG kSerialReadBytes = 128;

CONFIGRET WriteString(DEVNODE node, const char* name, const char* text) {
  return gwCONFIGMG_Write_Registry_Value(node, nullptr, name, REG_SZ, const_cast<char*>(text),
                                         static_cast<ULONG>(std::strlen(text)),
                                         CM_REGISTRY_HARDWARE);
}

// The child's hardware key: class, hardware ID, the USB device's ID and its serial number as the
// USB device node holds it.
void SetUpChild(DEVNODE usbNode, DEVNODE child, const char* usbDeviceId) {
  WriteString(child, "Class", kModemClass);
  WriteString(child, "HardwareID", kHardwareId);
  WriteString(child, "USBDeviceID", usbDeviceId);
  char serial[kSerialReadBytes] = {};
  ULONG length = sizeof(serial);
  // A serial number that cannot be read (absent, or larger than the buffer) is copied as an
  // empty value: the length such a read reports is not a length of the buffer.
  if (gwCONFIGMG_Read_Registry_Value(usbNode, nullptr, "SerialNumber", REG_SZ, serial, &length,
                                     CM_REGISTRY_HARDWARE) != CR_SUCCESS) {
    length = 0;
  }
  gwCONFIGMG_Write_Registry_Value(child, nullptr, "USB_DEVICE_SN", REG_SZ, serial, length,
                                  CM_REGISTRY_HARDWARE);
}

void BindChild(DEVNODE child, const char* usbDeviceId) {
  LONG n = GetValidCommPort(usbDeviceId);
  if (n < 1 || n > kLastComPort) return;
  char portName[8];
  std::snprintf(portName, sizeof(portName), "COM%d", static_cast<int>(n));
  WriteString(child, "PORTNAME", portName);
  AttachModemToPort(usbDeviceId, portName);
}

}  // namespace

ULONG AddModem(DEVICE_OBJECT* deviceObject) {
  DEVICE_EXTENSION* extension = Extension(deviceObject);
  char usbDeviceId[kDeviceIdBytes];
  std::snprintf(usbDeviceId, sizeof(usbDeviceId), "%s%s", kUsbIdPrefix, extension->serialNumber);
  DEVNODE node = 0;
  if (gwCONFIGMG_Locate_DevNode(&node, usbDeviceId, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
    return 0;
  }
  DEVNODE child = 0;
  if (gwCONFIGMG_Get_Child(&child, node, 0) == CR_SUCCESS) return 1;
  // Always 28 bytes: a shorter serial number is padded with NULs, a longer one is cut without.
  char serial[kSerialValueBytes] = {};
  std::memcpy(serial, extension->serialNumber, strnlen(extension->serialNumber, sizeof(serial)));
  gwCONFIGMG_Write_Registry_Value(node, nullptr, "SerialNumber", REG_SZ, serial, sizeof(serial),
                                  CM_REGISTRY_HARDWARE);
  char keyName[kDeviceIdBytes + 8];
  std::snprintf(keyName, sizeof(keyName), "Enum\\%s", usbDeviceId);
  VMMHKEY key = 0;
  if (gwRegOpenKey(HKEY_LOCAL_MACHINE, keyName, &key) != ERROR_SUCCESS) return 1;
  const BYTE zero[4] = {};
  gwRegSetValueEx(key, "DeviceNumber", 0, REG_BINARY, zero, sizeof(zero));
  gwRegCloseKey(key);
  return gwCONFIGMG_Register_Enumerator(node, OnEnumerate, 1) == CR_SUCCESS ? 1 : 0;
}

// The USB device node's enumerator. Without the enumerator node's ID nothing can be named, so
// then the events are answered without acting on them.
CONFIGRET OnEnumerate(CONFIGFUNC function, SUBCONFIGFUNC, DEVNODE enumeratorNode, DEVNODE aboutNode,
                      ULONG) {
  char usbDeviceId[kDeviceIdBytes] = {};
  bool named =
      gwCONFIGMG_Get_Device_ID(enumeratorNode, usbDeviceId, sizeof(usbDeviceId), 0) == CR_SUCCESS;
  switch (function) {
    case CONFIG_FILTER:
    case CONFIG_START:
      return CR_SUCCESS;
    case CONFIG_ENUMERATE: {
      if (!named) return CR_SUCCESS;
      char childId[kDeviceIdBytes + 4];
      std::snprintf(childId, sizeof(childId), "%s%s", usbDeviceId, "MDM");
      DEVNODE child = 0;
      gwCONFIGMG_Create_DevNode(&child, childId, enumeratorNode, 0);
      return CR_SUCCESS;
    }
    case CONFIG_SETUP:
      if (named) SetUpChild(enumeratorNode, aboutNode, usbDeviceId);
      return CR_SUCCESS;
    case CONFIG_READY:
      if (named) BindChild(aboutNode, usbDeviceId);
      return CR_DEFAULT;
    default:
      return CR_DEFAULT;
  }
}
