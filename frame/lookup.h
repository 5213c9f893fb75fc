// Module-global lookup with a cache per name, keyed by the namespace's version.
#pragma once

#include "frame/module.h"

namespace frame {

[[gnu::cold]] PyObject *lookup_global_slow(Module &module, int name);

// The value of a module global, as a fresh lookup would find it: the module's
// dict, then the builtins module, else NameError. The cache answers while the
// dict keeps the version at which the value was read.
inline Ref global(Module &module, int name) {
    const GlobalSite &site = module.sites[name];
    if (site.value && site.version == namespace_version(module.globals))
        return Ref::borrow(site.value);
    return Ref::steal(lookup_global_slow(module, name));
}

// Looks up the module's kept built-ins, once, at initialisation; -1 with
// NameError when one is missing.
int keep_builtins(Module &module);

}  // namespace frame
