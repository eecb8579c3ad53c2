# Builds Kalvicom.dll from the sources beside this file with Mono's C# compiler (the one command
# line the build tree and the release script share).
#
#   cmake -DMCS=mcs -DVERSION=0.1.0 -DOUT=DIR/Kalvicom.dll -P bindings/dotnet/assembly.cmake
#
# The assembly references mscorlib alone (.NET Framework 4 profile): Mono here has no .NET Standard
# reference assemblies to compile against. .NET Framework 4.6.1+ loads it as it is and .NET 6+
# through its mscorlib forwarding, so the package carries it as lib/net461.
cmake_minimum_required(VERSION 3.16)
foreach(required MCS VERSION OUT)
  if(NOT ${required})
    message(FATAL_ERROR "${required} is not set")
  endif()
endforeach()
get_filename_component(out_dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
set(info ${OUT}.AssemblyInfo.cs)
file(WRITE ${info} "[assembly: System.Reflection.AssemblyVersion(\"${VERSION}\")]\n"
  "[assembly: System.Reflection.AssemblyFileVersion(\"${VERSION}\")]\n"
  "[assembly: System.Reflection.AssemblyTitle(\"Kalvicom\")]\n"
  "[assembly: System.Reflection.AssemblyDescription(\"Serial ports on network device servers\")]\n")
execute_process(COMMAND ${MCS} -nologo -warnaserror -optimize+ -target:library -noconfig -r:mscorlib.dll
    -out:${OUT} ${CMAKE_CURRENT_LIST_DIR}/NativeMethods.cs ${CMAKE_CURRENT_LIST_DIR}/NetworkSerialPort.cs ${info}
  RESULT_VARIABLE rc)
file(REMOVE ${info})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${MCS} failed to build ${OUT}")
endif()
