// The kernel-mode API that drivers compile against (our own declarations, WDK names).
#pragma once

#include <ntdef.h>
#include <nt/bugcodes.h>
#include <nt/ke.h>
#include <nt/ps.h>
#include <nt/ex.h>
#include <nt/rtl.h>
#include <nt/ob.h>
#include <nt/zw.h>
#include <nt/io.h>
#include <nt/po.h>
