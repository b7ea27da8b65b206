// Questions to the spooler about a print queue and a port.
#pragma once

#include <windows.h>

int CheckPrinterQueue(const WCHAR *queueName, const WCHAR *portName);
int SetQueuePort(const WCHAR *queueName, const WCHAR *portName);
int PortExists(const WCHAR *portName);

// As CheckPrinterQueue, with the queue's ports (PRINTER_INFO_2W's pPortName)
// in port: empty when they cannot be read or do not fit.
int ReadPrinterQueuePort(const WCHAR *queueName, WCHAR *port, size_t capacity);
// TRUE when a queue's port list ("USB001,USB002") names portName exactly.
BOOL PortListed(const WCHAR *portList, const WCHAR *portName);
// 1 when a local queue that uses driverName prints to portName, whatever its
// name, with that name in queueName; 0 otherwise, also when the spooler
// cannot list its queues.
int FindQueueOnPort(const WCHAR *driverName, const WCHAR *portName, WCHAR *queueName, size_t capacity);
