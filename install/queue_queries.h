// Questions to the spooler about a print queue and a port.
#pragma once

#include <windows.h>

int CheckPrinterQueue(const WCHAR *queueName, const WCHAR *portName);
int SetQueuePort(const WCHAR *queueName, const WCHAR *portName);
int PortExists(const WCHAR *portName);
