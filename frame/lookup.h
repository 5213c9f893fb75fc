// Module-global lookup with a cache per name, keyed by the namespace's version.
#pragma once

#include "frame/module.h"
#include "frame/traceback.h"

namespace frame {

[[gnu::cold]] PyObject *lookup_global_slow(Module &module, int name);

// A global read from a namespace that is not the live module's: the one of a
// function whose import failed, or was followed by another import. Uncached.
[[gnu::cold]] PyObject *lookup_global_in(Module &module, PyObject *globals, int name);

// The value of a global of the code running in `here`, as a fresh lookup
// would find it: its namespace, then the builtins module, else NameError.
// For the live module's namespace the cache answers while the dict keeps the
// version at which the value was read.
inline Ref global(const Scope &here, int name) {
    Module &module = here.module();
    if (here.globals() != module.globals) [[unlikely]]
        return Ref::steal(lookup_global_in(module, here.globals(), name));
    const GlobalSite &site = module.sites[name];
    if (site.value && site.version == namespace_version(module.globals))
        return Ref::borrow(site.value);
    return Ref::steal(lookup_global_slow(module, name));
}

// Looks up the module's kept built-ins, once, at initialisation; -1 with
// NameError when one is missing.
int keep_builtins(Module &module);

}  // namespace frame
