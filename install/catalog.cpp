// Recognising a printer's model from the description it reported.
#include "install/catalog.h"

#include <strsafe.h>
#include <string.h>

#define CATALOG_TEXT_CCH 100

const CatalogEntry *MatchCatalogEntry(const WCHAR *description) {
    WCHAR joined[CATALOG_TEXT_CCH];
    WCHAR spaced[CATALOG_TEXT_CCH];
    const CatalogEntry *entry;

    if (!description)
        return NULL;
    memset(joined, 0, sizeof(joined));
    memset(spaced, 0, sizeof(spaced));

    // A printer reports its model either right after the brand or after one
    // blank; anything else is not ours.
    for (entry = ModelCatalog; entry->Model; entry++) {
        StringCchPrintfW(joined, CATALOG_TEXT_CCH, L"%ws%ws", entry->Manufacturer, entry->Model);
        StringCchPrintfW(spaced, CATALOG_TEXT_CCH, L"%ws %ws", entry->Manufacturer, entry->Model);
        if (wcscmp(description, joined) == 0 || wcscmp(description, spaced) == 0)
            return entry;
    }
    return NULL;
}

BOOL IsOfModel(const WCHAR *description, const WCHAR *modelName) {
    WCHAR name[CATALOG_TEXT_CCH];
    const CatalogEntry *entry = MatchCatalogEntry(description);

    return entry != NULL &&
           SUCCEEDED(StringCchPrintfW(name, CATALOG_TEXT_CCH, L"%ws %ws", entry->Manufacturer, entry->Model)) &&
           wcscmp(name, modelName) == 0;
}
