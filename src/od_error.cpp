#include "od_error.h"

#include "OpenDoor.h"

void Error(int ErrorLevel, int Line, const char* File) {
    switch (ErrorLevel) {
    case 1: od_printf("Help not available\n\r"); break;
    case 10: od_printf("ERROR (%d): Cannot open: %s\n\r", Line, File); break;
    case 20: od_printf("ERROR (%d): Cannot close %s\n\r", Line, File); break;
    case 30: od_printf("ERROR (%d): Cannot read %s\n\r", Line, File); break;
    case 40: od_printf("ERROR (%d): Cannot write %s\n\r", Line, File); break;
    case 50: od_printf("ERROR (%d): Seek error in %s\n\r", Line, File); break;
    case 60: od_printf("ERROR (%d): Cannot allocate memory\n\r", Line); break;
    default: od_printf("ERROR (%d): Invalid instruction\n\r", Line); break;
    }
}
