// The top wing includes every wing below it.
#include "asio/asio_client.h"
#include "children/child_devices.h"
#include "device/audio_device.h"
#include "engine/audio_engine.h"
#include "public/pal_interface.h"
