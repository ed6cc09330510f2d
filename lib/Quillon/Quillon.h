// Old place of the public header, kept while the tool still names this
// folder on its include path; everything else finds include/Quillon.h
// through the QuillonHeaders target. Remove once nothing uses the folder.
#include "include/Quillon.h"
