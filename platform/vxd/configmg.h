// The configuration manager: a tree of device nodes named by device ID, each with a hardware key
// in the registry ("HKEY_LOCAL_MACHINE\Enum\" + device ID), and enumerators that drivers register
// for a node. Kept minimal: the events a registered enumerator receives are sent by
// configmg::Enumerate.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/base/types.h"

using DEVNODE = DWORD;
using PDEVNODE = DEVNODE*;
using CONFIGRET = DWORD;
using CONFIGFUNC = DWORD;
using SUBCONFIGFUNC = DWORD;
using DEVNODEID = const char*;
using CMENUMHANDLER = CONFIGRET (*)(CONFIGFUNC function, SUBCONFIGFUNC subFunction, DEVNODE toNode,
                                    DEVNODE aboutNode, ULONG flags);

constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_DEFAULT = 0x01;
constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x02;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;
constexpr CONFIGRET CR_ALREADY_SUCH_DEVNODE = 0x10;
constexpr CONFIGRET CR_FAILURE = 0x13;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
constexpr CONFIGRET CR_REGISTRY_ERROR = 0x1D;
constexpr CONFIGRET CR_NO_SUCH_VALUE = 0x25;

constexpr CONFIGFUNC CONFIG_FILTER = 0;
constexpr CONFIGFUNC CONFIG_START = 1;
constexpr CONFIGFUNC CONFIG_ENUMERATE = 5;
constexpr CONFIGFUNC CONFIG_SETUP = 6;
constexpr CONFIGFUNC CONFIG_READY = 15;

constexpr ULONG CM_LOCATE_DEVNODE_NORMAL = 0;
constexpr ULONG CM_REGISTRY_HARDWARE = 0;
constexpr ULONG CM_REGISTRY_SOFTWARE = 1;

CONFIGRET CONFIGMG_Locate_DevNode(PDEVNODE devNode, DEVNODEID deviceId, ULONG flags);
CONFIGRET CONFIGMG_Get_Child(PDEVNODE child, DEVNODE devNode, ULONG flags);
CONFIGRET CONFIGMG_Get_Device_ID(DEVNODE devNode, PVOID buffer, ULONG bufferLength, ULONG flags);
CONFIGRET CONFIGMG_Create_DevNode(PDEVNODE devNode, DEVNODEID deviceId, DEVNODE parent,
                                  ULONG flags);
CONFIGRET CONFIGMG_Register_Enumerator(DEVNODE devNode, CMENUMHANDLER handler, ULONG flags);
CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                       ULONG expectedType, PVOID buffer, PULONG length,
                                       ULONG flags);
CONFIGRET CONFIGMG_Write_Registry_Value(DEVNODE devNode, const char* subKey, const char* valueName,
                                        ULONG type, PVOID buffer, ULONG length, ULONG flags);

namespace platform::vxd::configmg {

// What a bus does when a device appears or leaves: a node under the root.
DEVNODE AddDevice(std::string_view deviceId);
void RemoveDevice(DEVNODE node);
// Sends the node's enumerator CONFIG_ENUMERATE, then about each child it created CONFIG_SETUP,
// CONFIG_FILTER, CONFIG_START and CONFIG_READY, in the platform's order for a new device.
// Returns false when no enumerator is registered for the node.
bool Enumerate(DEVNODE node);
// Whether an enumerator is registered for the node.
bool HasEnumerator(DEVNODE node);
std::string DeviceId(DEVNODE node);
void Reset();

// Runs the configuration manager's deferred events (the enumeration that follows a
// registration); the bus installs one that queues them on the kernel's processor. Without one,
// registering an enumerator enumerates nothing until Enumerate is called.
using EventRunner = std::function<void(std::function<void()>)>;
void SetEventRunner(EventRunner runner);

}  // namespace platform::vxd::configmg
