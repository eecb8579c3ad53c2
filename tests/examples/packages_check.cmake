# Checks the language packages scripts/release.sh put in DIST as a user meets them: the NuGet
# package's files, the machine of each native library in it and its manifest's fields; the C#
# example compiled against the package's assembly and run by the example runner with the
# package's linux-x64 library; the wheels' names, the Linux wheel's files, and that wheel
# installed into a virtual environment, where the library beside the package serves the Python
# example (KALVICOM_LIBRARY unset). AREA is a scratch folder.
#
#   cmake -DDIST=dist -DAREA=DIR -DRUNNER=example_runner -DMCS=mcs -DMONO=mono -DPYTHON=python3
#     -P tests/examples/packages_check.cmake
cmake_minimum_required(VERSION 3.18)
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
file(STRINGS ${source}/CMakeLists.txt project REGEX "^project\\(kalvicom VERSION ")
string(REGEX REPLACE "^project\\(kalvicom VERSION ([0-9.]+).*$" "\\1" version "${project}")
get_filename_component(DIST ${DIST} ABSOLUTE)
get_filename_component(area ${AREA} ABSOLUTE)
file(REMOVE_RECURSE ${area})
file(MAKE_DIRECTORY ${area}/nupkg ${area}/cs ${area}/wheel)

include(${CMAKE_CURRENT_LIST_DIR}/../install/file_checks.cmake)

# expect_machine(FILE MACHINE): a PE file (x86-64, i386) or an ELF file (ELF-x86-64) for MACHINE.
function(expect_machine file machine)
  file(READ ${file} head LIMIT 64 HEX)
  if(head MATCHES "^7f454c46")
    string(SUBSTRING "${head}" 8 2 class)
    string(SUBSTRING "${head}" 36 4 e_machine) # little-endian 16 bits at offset 18
    set(found "ELF-${class}-${e_machine}")
    set(names "ELF-02-3e00:ELF-x86-64")
  else()
    string(SUBSTRING "${head}" 120 8 lfanew) # 32 bits at offset 0x3C, little-endian
    string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" lfanew "${lfanew}")
    math(EXPR at "0x${lfanew} + 4")
    file(READ ${file} coff OFFSET ${at} LIMIT 2 HEX)
    set(found "PE-${coff}")
    set(names "PE-6486:x86-64" "PE-4c01:i386")
  endif()
  foreach(name ${names})
    string(REPLACE ":" ";" name ${name})
    list(GET name 0 code)
    list(GET name 1 label)
    if(found STREQUAL code)
      set(found ${label})
    endif()
  endforeach()
  if(NOT found STREQUAL machine)
    message(FATAL_ERROR "${file} is for ${found}, expected ${machine}")
  endif()
endfunction()

# The NuGet package.
set(nupkg ${DIST}/Kalvicom.${version}.nupkg)
run(${CMAKE_COMMAND} -E tar tf ${nupkg})
expect_files(${nupkg} "" "${out}" [Content_Types].xml _rels/.rels Kalvicom.nuspec README.md lib/net461/Kalvicom.dll
  runtimes/win-x64/native/kalvicom.dll runtimes/win-x86/native/kalvicom.dll
  runtimes/linux-x64/native/libkalvicom.so)
file(ARCHIVE_EXTRACT INPUT ${nupkg} DESTINATION ${area}/nupkg)
set(native ${area}/nupkg/runtimes)
expect_machine(${native}/win-x64/native/kalvicom.dll x86-64)
expect_machine(${native}/win-x86/native/kalvicom.dll i386)
expect_machine(${native}/linux-x64/native/libkalvicom.so ELF-x86-64)
file(READ ${area}/nupkg/Kalvicom.nuspec nuspec)
foreach(field "<id>Kalvicom</id>" "<version>${version}</version>" "<authors>The kalvicom developers</authors>"
    "<license type=\"expression\">MIT</license>" "<readme>README.md</readme>")
  string(FIND "${nuspec}" "${field}" at)
  if(at LESS 0)
    message(FATAL_ERROR "Kalvicom.nuspec lacks ${field}:\n${nuspec}")
  endif()
endforeach()
if(NOT nuspec MATCHES "<description>[^<]+</description>")
  message(FATAL_ERROR "Kalvicom.nuspec has no description:\n${nuspec}")
endif()

# The C# example against the package's assembly and its Linux library.
run(${MCS} -nologo -warnaserror -r:${area}/nupkg/lib/net461/Kalvicom.dll -out:${area}/cs/query.exe
  ${source}/examples/csharp/Query.cs)
file(COPY ${area}/nupkg/lib/net461/Kalvicom.dll DESTINATION ${area}/cs)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${native}/linux-x64/native ${RUNNER} -- ${MONO} ${area}/cs/query.exe)

# The wheels.
set(wheel kalvicom-${version}-py3-none)
foreach(platform any linux_x86_64 win_amd64 win32)
  if(NOT EXISTS ${DIST}/${wheel}-${platform}.whl)
    message(FATAL_ERROR "${DIST}/${wheel}-${platform}.whl is missing")
  endif()
endforeach()
run(${CMAKE_COMMAND} -E tar tf ${DIST}/${wheel}-linux_x86_64.whl)
set(info kalvicom-${version}.dist-info)
expect_files(${wheel}-linux_x86_64.whl "" "${out}" _kalvicom_hook.py kalvicom.pth kalvicom/__init__.py
  kalvicom/_native.py kalvicom/_serial.py kalvicom/protocol_kalvicom.py kalvicom/libkalvicom.so
  ${info}/METADATA ${info}/WHEEL ${info}/RECORD ${info}/top_level.txt)
run(${PYTHON} -m venv --system-site-packages ${area}/wheel/venv)
run(${area}/wheel/venv/bin/pip install -q --no-index ${DIST}/${wheel}-linux_x86_64.whl)
run(${CMAKE_COMMAND} -E env --unset=KALVICOM_LIBRARY ${RUNNER} --
  ${area}/wheel/venv/bin/python ${source}/examples/query.py)
message(STATUS "${DIST}: the NuGet package and the wheels hold what they should")
