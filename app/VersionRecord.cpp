#include "VersionRecord.h"

// The executable's version record. The numbers and the name come from the CMake project (the
// build passes them as QUANTORIA_VERSION_* and QUANTORIA_PRODUCT_NAME); file and product version
// are the same. "used" and "retain" keep the otherwise unreferenced block through compiling and
// linking.
#if !defined(QUANTORIA_VERSION_MAJOR) || !defined(QUANTORIA_VERSION_MINOR) ||                      \
    !defined(QUANTORIA_VERSION_PATCH) || !defined(QUANTORIA_VERSION_TWEAK) ||                      \
    !defined(QUANTORIA_PRODUCT_NAME)
#error "the build passes the project version and name"
#endif

[[gnu::used, gnu::retain,
  gnu::section(QUANTORIA_VERSION_SECTION)]] const VersionRecord kExecutableVersionRecord = {
    {kVersionRecordMagic[0], kVersionRecordMagic[1], kVersionRecordMagic[2], kVersionRecordMagic[3],
     kVersionRecordMagic[4], kVersionRecordMagic[5], kVersionRecordMagic[6],
     kVersionRecordMagic[7]},
    {QUANTORIA_VERSION_MAJOR, QUANTORIA_VERSION_MINOR, QUANTORIA_VERSION_PATCH,
     QUANTORIA_VERSION_TWEAK},
    {QUANTORIA_VERSION_MAJOR, QUANTORIA_VERSION_MINOR, QUANTORIA_VERSION_PATCH,
     QUANTORIA_VERSION_TWEAK},
    QUANTORIA_PRODUCT_NAME,
};
