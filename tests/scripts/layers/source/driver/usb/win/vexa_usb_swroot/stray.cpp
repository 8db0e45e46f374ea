// A source outside every wing.
#include "engine/audio_engine.h"
