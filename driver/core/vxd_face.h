// The driver's face in the virtual-device layer: its device descriptor block "MDMCORE " and the
// control procedure through which the serial-port side reaches it.
#pragma once

#include "platform/vxd/vmm.h"

constexpr USHORT kMdmcoreDeviceNumber = 0x8802;
constexpr ULONG kPortPoll = 0x71000001;      // PollFnForVxD, record address in EDX
constexpr ULONG kPortDispatch = 0x71000002;  // wdm_disp_fn, record address in EDX

extern VxD_Desc_Block MDMCORE_DDB;

ULONG MDMCORE_Init_VxD_Inf();
void MDMCORE_Finit_VxD_Inf();
void MDMCORE_Control(platform::vxd::Registers& registers);
