// ffmpeg.exe stand-in for the Wine tests: prints to standard error the report
// that the real `ffmpeg -i FILE` printed on the build machine (recorded into
// ffmpeg_report.txt beside this program) and exits 1, as ffmpeg does when it
// is given an input and no output.
#include <windows.h>

#include <cstdio>

int main() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  while (n > 0 && path[n - 1] != L'\\') --n;
  wcscpy(path + n, L"ffmpeg_report.txt");
  FILE* f = _wfopen(path, L"rb");
  if (!f) return fputs("ffmpeg_report.txt is missing\n", stderr), 2;
  char buf[4096];
  for (size_t got; (got = fread(buf, 1, sizeof buf, f)) > 0;) fwrite(buf, 1, got, stderr);
  fclose(f);
  return 1;
}
