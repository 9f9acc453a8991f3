# Turns the USB ID table (usb/qel-usb-ids) into the files that let the system
# act on a plugged-in device: the udev rule granting the logged-in user access,
# in the very form that `qel-usb-bridge --udev-rule` prints, and the AppStream
# metainfo with one modalias a device, so that the package can be suggested.
#
#   cmake -DTABLE=qel-usb-ids -DRULES=out.rules
#         [-DMETAINFO_IN=x.metainfo.xml.in -DMETAINFO=x.metainfo.xml -DQEL_APP_ID=id]
#         -P usbids.cmake
#
# The table is read as the bridge reads it: "#" starts a comment, blank lines
# are skipped, and the first word of a line is VVVV:PPPP. A line the bridge
# would refuse stops the build here rather than the bridge at run time.
cmake_minimum_required(VERSION 3.16)

foreach(var TABLE RULES)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "usbids.cmake: -D${var}= is missing")
  endif()
endforeach()

file(READ "${TABLE}" text)
# A list element per line. Semicolons, brackets and backslashes in a
# description would split or join list elements; only the first word matters.
string(REGEX REPLACE "[][;\\]" "," text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(rules "# Qel USB audio devices: access for the logged-in user (qel-usb-bridge).\n")
set(modaliases "")
set(seen "")
set(line_no 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  string(FIND "${line}" "#" hash)
  if(hash GREATER_EQUAL 0)
    string(SUBSTRING "${line}" 0 ${hash} line)
  endif()
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX MATCH "^[^ \t\r]+" word "${line}")
  if(NOT word MATCHES "^([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]):([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])$")
    message(FATAL_ERROR "${TABLE}: line ${line_no}: \"${word}\" is not VVVV:PPPP")
  endif()
  # udev compares with sysfs, which writes the IDs in lower case; a modalias
  # has them in upper case.
  string(TOLOWER "${CMAKE_MATCH_1}" vendor)
  string(TOLOWER "${CMAKE_MATCH_2}" product)
  string(APPEND rules "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"${vendor}\", "
                      "ATTRS{idProduct}==\"${product}\", TAG+=\"uaccess\"\n")
  if(NOT "${vendor}:${product}" IN_LIST seen)
    list(APPEND seen "${vendor}:${product}")
    string(TOUPPER "${vendor}" vendor_uc)
    string(TOUPPER "${product}" product_uc)
    string(APPEND modaliases "    <modalias>usb:v${vendor_uc}p${product_uc}*</modalias>\n")
  endif()
endforeach()

file(WRITE "${RULES}" "${rules}")
if(DEFINED METAINFO)
  set(QEL_MODALIASES "${modaliases}")
  configure_file("${METAINFO_IN}" "${METAINFO}" @ONLY)
endif()
