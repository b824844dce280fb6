#include "platform/ui/dialog_box.h"
