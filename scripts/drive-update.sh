# Sourced by scripts/run.sh once the updater shows its window: presses the
# button, confirms, and saves screenshots of each stage.
window=$(qel_wait_window QelUpdater 10)
qel_press_update "$window"
box=$(qel_wait_window "Firmware Update" 20)
sleep 0.5
shot 2-confirmation
qel_confirm_ok "$box" || echo "the confirmation box did not get the keyboard"
qel_wait_text "$work/updater.log" "pos = 65536/" 60 || true
sleep 0.3
shot 3-transfer
if qel_wait_text "$work/updater.log" "FWUP OK" 180; then
    sleep 3   # the worker waits a second, then reads the device's checksum
else
    echo "the transfer did not finish; see the console trace below"
fi
shot 4-final
grep '^installed:' "$work/devsim.log" || true
