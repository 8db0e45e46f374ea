// The ASIO wing beside the children, named with the whole path: refused.
#pragma once
#include "source/driver/usb/win/vexa_usb_swroot/children/child_devices.h"
