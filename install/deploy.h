// Copying the driver files into place.
#pragma once

#include <windows.h>

int DeployArchFile(const WCHAR *fileName);
int DeployDataFile(const WCHAR *fileName);
int CopyToSystemDirectory(const WCHAR *sourcePath);
