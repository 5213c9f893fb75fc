"""Build hooks for the package: the metadata is in pyproject.toml, the build in CMakeLists.txt.

build_ext does not compile anything itself. It runs the project's CMake build (the same one that
scripts/setup runs, with its compile flags) for the interpreter that runs the build, and copies
each module that CMake produced to the place setuptools expects it, so that wheels, sdist builds
and editable installs all come from one build description.
"""
import glob
import os
import shutil
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

ROOT = os.path.dirname(os.path.abspath(__file__))


def view_extensions():
    # One module per View/<name>.cpp, as CMakeLists.txt builds them; the sources are listed so
    # that setuptools knows them, but CMake compiles them together with the frame.
    return [Extension("View." + os.path.basename(path)[:-len(".cpp")],
                      sources=[os.path.relpath(path, ROOT)])
            for path in sorted(glob.glob(os.path.join(ROOT, "View", "*.cpp")))]


def cmake_cache_value(build_dir, key):
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as cache:
            for line in cache:
                name, sep, value = line.rstrip("\n").partition("=")
                if sep and name.split(":")[0] == key:
                    return value
    except FileNotFoundError:
        pass
    return None


class CMakeBuildExt(build_ext):
    def build_extensions(self):
        if shutil.which("cmake") is None:
            raise RuntimeError("cmake is needed to build the View modules (apt-get install cmake)")
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        # The interpreter itself, not a venv's link to it: every venv of one interpreter then
        # shares the (incremental) build, as scripts/setup's build does.
        python = os.path.realpath(sys.executable)
        # A cache left by another interpreter or another copy of the sources would build for
        # them; CMake keeps the first Python it found, so such a cache is started afresh.
        if (cmake_cache_value(build_dir, "Python3_EXECUTABLE") not in (None, python)
                or cmake_cache_value(build_dir, "CMAKE_HOME_DIRECTORY") not in (None, ROOT)):
            shutil.rmtree(build_dir)
        build_type = "Debug" if self.debug else "Release"
        self.spawn(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=" + build_type,
                    "-DPython3_EXECUTABLE=" + python])
        jobs = self.parallel or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or 2
        self.spawn(["cmake", "--build", build_dir, "--parallel", str(jobs), "--target"]
                   + [ext.name.rpartition(".")[2] for ext in self.extensions])
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        for ext in self.extensions:
            built = os.path.join(build_dir, *ext.name.split(".")) + suffix
            if not os.path.isfile(built):
                raise RuntimeError("CMake did not produce %s for %s" % (built, ext.name))
            target = self.get_ext_fullpath(ext.name)
            self.mkpath(os.path.dirname(target))
            self.copy_file(built, target)


class CleanBuild(build):
    # A wheel takes everything under build_lib, so files left there by an earlier build (a
    # module since removed, a file an older package-data rule let in) would ship again.
    # Only build_lib is cleared: the CMake build under build_temp stays incremental.
    def run(self):
        if os.path.isdir(self.build_lib):
            shutil.rmtree(self.build_lib)
        super().run()


class DebianSafeInstall(install):
    # Debian's setuptools asks the install command for two options that only Debian's patched
    # distutils defines; any other interpreter (pyenv's, a venv of one) then fails with an
    # AttributeError while building a wheel. Defaults of None mean "not a Debian layout".
    def initialize_options(self):
        super().initialize_options()
        self.install_layout = None
        self.prefix_option = None


setup(
    ext_modules=view_extensions(),
    cmdclass={"build": CleanBuild, "build_ext": CMakeBuildExt, "install": DebianSafeInstall},
)
