// Entry points that earlier releases of the library had and that callers
// may still link against. They do nothing.
#include <kxenv/kxenv.h>

int KxenvLoadProfile(void) {
  return 8;
}
int KxenvSaveProfile(void) {
  return 7;
}
int KxenvLoadTable(void) {
  return 2;
}
void KxenvDump(void) {}
void KxenvDumpEntry(void) {}
char* KxenvQueryVarValue(void) {
  return nullptr;
}
void KxenvTableInit(void) {}
char* KxenvQueryFilename(void) {
  return nullptr;
}
int KXGetEnvTableAddress(void) {
  return -1;
}
int KXreloadenv(void) {
  return -1;
}
unsigned char KxRefreshSharedMemory(void) {
  return 0;
}
void KXsetlogging(void) {}
void KxenvStopChangeNotify(void) {}
// The package's major version (project() in CMakeLists.txt), which callers
// have always been given as 2.
int KXgetversion(void) {
  return KXENV_VERSION_MAJOR;
}
