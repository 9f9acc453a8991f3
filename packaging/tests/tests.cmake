# The udev rule and the catalogue's modaliases as made from an ID table,
# against what the bridge itself says for the same IDs.
add_test(NAME usbids
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/usbids_test.sh ${CMAKE_COMMAND}
                 ${CMAKE_CURRENT_SOURCE_DIR} $<TARGET_FILE:qel-usb-bridge> ${QEL_UDEV_RULES})

add_test(NAME manpages
         COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/manpages_test.sh ${CMAKE_CURRENT_SOURCE_DIR}/man
                 $<TARGET_FILE:qel-fwtool> $<TARGET_FILE:qel-usb-bridge> $<TARGET_FILE:qel-devsim>
                 $<TARGET_FILE:qel-mkimage>)
