#include "driver/core/vxd_face.h"

#include "driver/core/devext.h"
#include "platform/vxd/flat.h"

VxD_Desc_Block MDMCORE_DDB = {
    0,
    DDK_VERSION,
    kMdmcoreDeviceNumber,
    1,
    0,
    0,
    {'M', 'D', 'M', 'C', 'O', 'R', 'E', ' '},
    UNDEFINED_INIT_ORDER,
    0,  // the control procedure's flat address, set when the block is added
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    0,
    DDB_PREV_INITIAL,
    sizeof(VxD_Desc_Block),
    DDB_RESERVED1_INITIAL,
    DDB_RESERVED2_INITIAL,
    DDB_RESERVED3_INITIAL,
};

ULONG MDMCORE_Init_VxD_Inf() {
  MDMCORE_DDB.DDB_Control_Proc = platform::vxd::EntryToFlat(&MDMCORE_Control);
  return Add_DDB(&MDMCORE_DDB);
}

void MDMCORE_Finit_VxD_Inf() {
  Remove_DDB(&MDMCORE_DDB);
}

void MDMCORE_Control(platform::vxd::Registers& registers) {
  switch (registers.eax) {
    case kPortPoll:
      registers.carry = PollFnForVxD(registers.edx) == 0;
      break;
    case kPortDispatch:
      registers.carry = wdm_disp_fn(registers.edx) == 0;
      break;
    default:
      registers.carry = false;
      break;
  }
}
