#include "app/TMainForm.h"
#include "session/CaptureSession.h"
