// Nothing above the kernel layer.
#pragma once
