// What the plug-in store refuses, and why: file names that would leave their
// folder, removals of a whole folder, and archive members that are links,
// special files or paths out of the store. View.file's bodies call these at
// the statements they guard; each returns 0, or -1 with the exception set.
#pragma once

#include <Python.h>

namespace store_rules {

// Made once per import, right after `import tarfile`, from the module found
// there: the store's extraction filter and the error class it reports with
// (tarfile.FilterError where tarfile has filters, else tarfile.TarError).
int prepare(PyObject *tarfile);

// A file name (a str, or an os.PathLike giving one) that is absolute or has a
// ".." component: ValueError before anything is created.
int refuse_unsafe_name(PyObject *filename);

// An entry that names a folder itself (None, "", "."): ValueError, since
// removing it would remove the whole folder.
int refuse_folder_itself(PyObject *entry);

// Makes the store's filter the archive's extraction filter, where tarfile
// has filters; elsewhere the archive is left as it is.
int guard_extraction(PyObject *tar_ref);

// Runs every member of the archive through the store's filter before
// anything is written, so that a refused member, or a truncated or corrupt
// archive (getmembers reads every header), fails with the store untouched.
// An archive object without getmembers is extracted as it is.
int check_members(PyObject *tar_ref, PyObject *folder);

}  // namespace store_rules
