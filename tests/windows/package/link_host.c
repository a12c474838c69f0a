/* A C host linked against the import library (not LoadLibrary): proves that
   the .dll.a or .lib of the Windows package resolves every call it makes to
   the DLL's undecorated exports, stdcall decoration included on x86.
   Prints "link-host ok" and exits 0 when the calls behave. */
#include <stdio.h>
#include <string.h>

#include "vek.h"

int main(void) {
  VekLastError err;
  VekJob* job = VekAlloc();
  if (!job) {
    puts("VekAlloc gave no job");
    return 1;
  }
  VekSetResolution(job, 64, 48);
  VekGetLastError(&err);
  if (err.status != 0) {
    printf("VekSetResolution: status %d\n", (int)err.status);
    return 1;
  }
  if (VekMakeFourCC("cvid") != 0x64697663) {
    puts("VekMakeFourCC gave the wrong code");
    return 1;
  }
  VekFree(job);
  /* A call that must fail: a null job. */
  VekSetResolution(NULL, 64, 48);
  VekGetLastError(&err);
  if (err.status == 0) {
    puts("a null job was accepted");
    return 1;
  }
  puts("link-host ok");
  return 0;
}
