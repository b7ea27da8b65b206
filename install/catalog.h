// The catalogue of supported printer models.
#pragma once

#include <windows.h>

// Option bit: the model uses the language monitor.
#define MODEL_USES_LANGUAGE_MONITOR 0x10

typedef struct CatalogEntry {
    const WCHAR *Manufacturer;
    const WCHAR *Model;
    BYTE Options;
} CatalogEntry;

// 218 models and a terminating row whose texts are null.
extern const CatalogEntry ModelCatalog[];

const CatalogEntry *MatchCatalogEntry(const WCHAR *description);
// Whether a printer that reported description is of the model whose driver
// and queue are named modelName ("Corvane LD-2040").
BOOL IsOfModel(const WCHAR *description, const WCHAR *modelName);
