#include "usb_fixture.h"
