// The device wing includes the public records.
#pragma once
#include "public/child_interface.h"
