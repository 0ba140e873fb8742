// Loading the CAPI 2.0 provider library and resolving its entry points.
#pragma once

#include <cstdint>

#include "capi/records/capi_provider.h"

namespace platform {

// The name of the provider library this platform loads.
const char* ProviderLibraryName();

// The platform's export name of entry point index (a capi::EntryPoint); an empty text for an
// index out of range.
const char* ProviderExportName(int index);

// Loads the library; returns its module handle, 0 when it cannot be loaded.
uintptr_t LoadProviderLibrary(const char* name);

// After LoadProviderLibrary failed: one line on standard error with the loader's own reason
// (nothing where the platform gives none).
void ExplainLoadFailure();

// Resolves the ten entry points by their export names in resolution order into provider
// (and waitForSignalWithin where the platform has a bounded wait). An entry point the
// library lacks is left null.
void ResolveProviderEntryPoints(uintptr_t module, capi::CapiProvider& provider);

// Unloads the library.
void UnloadProviderLibrary(uintptr_t module);

// After the provider said it is not installed or refused the registration: one line on
// standard error saying why, as far as the platform can tell (nothing where it cannot).
void ExplainBindingFailure();

}  // namespace platform
