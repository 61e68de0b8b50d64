#pragma once

// Internal to the libraries that read books: hands the book that the validator has just loaded to the
// metadata reader, so that a book is read and parsed once per run. Not for the engine's headers.

#include <libxml/tree.h>

#include "validation/xsd_validator.h"

// The book loaded by the last successful LoadDocument, still owned by the validator: valid until the
// next LoadDocument or the validator's end; null when no book is loaded. The tree keeps blank text
// nodes, CDATA sections and entity references as they stand in the file (entities are not substituted).
xmlDocPtr LoadedDocument(const TXSDValidator& validator);
