// The OSS sound device (placeholder until the device code lands: no device is ever open).
#include "audio/cardfeed.h"

#include <stdio.h>

int fd = -1;
char *buf = nullptr;
int buf_size = 0;
int sound_opened = 0;

int open_sound(int, int, int, int, int) { return -1; }
int read_sound() { return -1; }
int write_sound() { return -1; }
void close_sound() {}
