// Writes one image into the VXP video processor through ISP transactions.
#pragma once

class SerialLink;

// Device 0: an ISP driver image; its bytes from 0x800 to 0x1FFF go into the
// processor's memory in 16-byte blocks and the driver is started at 0x800,
// after a soft reset.  Devices 1 to 4: the image is written into that flash
// device from address 0.  Devices 5 and 7: the device is erased, the data
// from 0x100 is written, then the 256-byte header.  Each flash job ends with
// a soft reset.  0 on success, -1 on failure.
int loadFile(SerialLink& link, const char* filename, int device);
