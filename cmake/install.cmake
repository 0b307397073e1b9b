# Installation: the public headers, the libraries, and for Windows the DLLs
# with their import libraries and .def files; on other systems libnuv_sim
# (and on Linux libnuv, over the machine's own cameras) with a CMake package
# (find_package(nuv), targets nuv::nuv_sim and nuv::nuv) and pkg-config
# files (pkg-config nuv_sim, pkg-config nuv), and on Linux a udev rules file
# that opens the cameras' nodes to group "video".
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES include/nuv.h include/nuv_sim.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
target_include_directories(nuv_sim INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(WIN32)
  install(TARGETS nuv nuv_sim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nuv.def ${CMAKE_CURRENT_BINARY_DIR}/nuv_sim.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  install(TARGETS nuv_sim EXPORT nuvTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET nuv)
    target_include_directories(nuv INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    install(TARGETS nuv EXPORT nuvTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    configure_file(cmake/nuv.pc.in ${CMAKE_CURRENT_BINARY_DIR}/nuv.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nuv.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    install(FILES packaging/70-nuv-cameras.rules DESTINATION ${CMAKE_INSTALL_LIBDIR}/udev/rules.d)
  endif()
  install(EXPORT nuvTargets NAMESPACE nuv:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nuv)
  configure_package_config_file(cmake/nuvConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/nuvConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nuv)
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/nuvConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nuvConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/nuvConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/nuv)
  configure_file(cmake/nuv_sim.pc.in ${CMAKE_CURRENT_BINARY_DIR}/nuv_sim.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nuv_sim.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The Python package (pure Python, no build step). On other systems it goes
# to <libdir>/python3/dist-packages, two levels below the library it loads
# (on Debian, /usr/local/lib/python3/dist-packages is on the interpreter's
# path); on Windows beside the DLLs.
if(WIN32)
  set(NUV_PYTHON_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(NUV_PYTHON_DIR ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages)
endif()
install(DIRECTORY python/nuv DESTINATION ${NUV_PYTHON_DIR} PATTERN __pycache__ EXCLUDE)
