// The door's one way of reporting a failure: one line on the caller's screen.
#ifndef OD_ERROR_H
#define OD_ERROR_H

void Error(int ErrorLevel, int Line, const char* File);

#endif
