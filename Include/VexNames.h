// Names that cross deliverables: the control device's base name and how it is formatted.
#pragma once

// "\Device\Vexwdm001" .. "\Device\Vexwdm004", linked as "\DosDevices\Vexwdm00n", opened from user
// mode as "\\.\Vexwdm00n".  Numbers 1 to 4; the device index is the number minus one.
#define VEX_BASE_NAME_A "Vexwdm"
#define VEX_BASE_NAME_W u"Vexwdm"
#define VEX_DEVICE_NAME_FORMAT u"\\Device\\%s%03d"
#define VEX_LINK_NAME_FORMAT u"\\DosDevices\\%s%03d"
#define VEX_USER_NAME_FORMAT_A "\\\\.\\%s00%d"
#define VEX_MAX_INSTRUMENTS 4
