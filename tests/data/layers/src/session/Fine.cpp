#include "capture/PacketList.h"
#include "platform/Win32Api.h"
#include "protocol/Transfers.h"
#include "session/CaptureSession.h"
#include <vector>
