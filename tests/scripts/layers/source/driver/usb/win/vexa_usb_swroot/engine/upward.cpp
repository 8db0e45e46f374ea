// The engine reaching up to the control side: refused. Its own wing and the
// device wing below it are fine.
#include "control/root.h"
#include "device/fine.h"
#include "engine/audio_engine.h"
