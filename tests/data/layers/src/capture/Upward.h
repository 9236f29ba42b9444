#pragma once

#include "session/CaptureSession.h"
