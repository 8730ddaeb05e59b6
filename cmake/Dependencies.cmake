# ACE and omniORB come from Debian's packages (see scripts/test.sh); neither
# ships CMake config files, so they are found by header and library name.

find_path(ACE_INCLUDE_DIR ace/ACE.h REQUIRED)
find_library(ACE_LIBRARY ACE REQUIRED)
add_library(TMX::ACE INTERFACE IMPORTED)
set_target_properties(TMX::ACE PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${ACE_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "${ACE_LIBRARY};Threads::Threads")

find_program(OMNIIDL omniidl REQUIRED)
find_path(OMNIORB_INCLUDE_DIR omniORB4/CORBA.h REQUIRED)
find_path(COS_INCLUDE_DIR TimeBase.hh PATH_SUFFIXES COS REQUIRED)
find_path(OMNIORB_IDL_DIR COS/TimeBase.idl PATHS /usr/share/idl/omniORB /usr/share/idl REQUIRED)
find_library(OMNIORB_LIBRARY omniORB4 REQUIRED)
find_library(OMNIDYNAMIC_LIBRARY omniDynamic4 REQUIRED)
find_library(OMNITHREAD_LIBRARY omnithread REQUIRED)
find_library(COS_LIBRARY COS4 REQUIRED)
find_library(COSDYNAMIC_LIBRARY COSDynamic4 REQUIRED)
# omniORB's TLS transport (giop:ssl endpoints, the -ORBssl... options) and
# the OpenSSL it is built on, which orb/ also uses to check the certificate
# set-up before the ORB starts.
find_library(OMNISSLTP_LIBRARY omnisslTP4 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
add_library(TMX::omniORB INTERFACE IMPORTED)
set_target_properties(TMX::omniORB PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${OMNIORB_INCLUDE_DIR};${COS_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES
    "${COSDYNAMIC_LIBRARY};${COS_LIBRARY};${OMNIDYNAMIC_LIBRARY};${OMNISSLTP_LIBRARY};${OMNIORB_LIBRARY};${OMNITHREAD_LIBRARY};OpenSSL::SSL;OpenSSL::Crypto;Threads::Threads")

# JSON output of tmx-watch (header-only, Debian's nlohmann-json3-dev).
find_package(nlohmann_json 3 REQUIRED)

# The archive of tmx-web and tmx-history (Debian's libsqlite3-dev), used
# through SQLiteCpp (Debian's libsqlitecpp-dev, which ships its CMake
# config: target SQLiteCpp).
find_package(SQLite3 REQUIRED)
find_package(SQLiteCpp REQUIRED)

# HTTP and metrics of tmx-web: Debian's libmicrohttpd-dev (its server),
# libcpp-httplib-dev (the tests' HTTP client; a compiled library whose
# pkg-config file gives the defines its header needs) and prometheus-cpp-dev
# (core only: the serving is tmx-web's own).
find_package(PkgConfig REQUIRED)
pkg_check_modules(MICROHTTPD REQUIRED IMPORTED_TARGET libmicrohttpd)
if(NOT TARGET TMX::microhttpd)
  add_library(TMX::microhttpd INTERFACE IMPORTED)
  set_target_properties(TMX::microhttpd PROPERTIES INTERFACE_LINK_LIBRARIES "PkgConfig::MICROHTTPD")
endif()
pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
if(NOT TARGET TMX::httplib)
  add_library(TMX::httplib INTERFACE IMPORTED)
  set_target_properties(TMX::httplib PROPERTIES INTERFACE_LINK_LIBRARIES "PkgConfig::CPP_HTTPLIB")
endif()
find_package(prometheus-cpp CONFIG REQUIRED)
# tmx-web's client of Alertmanager: Debian's libcurl4-openssl-dev.
find_package(CURL REQUIRED)

find_package(GTest REQUIRED)
find_program(OMNINAMES omniNames PATHS /usr/bin /usr/sbin)
