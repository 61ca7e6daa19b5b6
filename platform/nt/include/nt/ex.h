#pragma once
#include <ntdef.h>
