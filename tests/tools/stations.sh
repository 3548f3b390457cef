# Sourced by the end-to-end scripts: each station has its own configuration and data folders
# under $work, and settings written as a REGEDIT4 hive.
station() { echo "XDG_CONFIG_HOME=$work/$1/config XDG_DATA_HOME=$work/$1/data SENDARI_HOME=$work/$1/data/Sendari"; }
settings() { # name station receive-folder
    mkdir -p "$work/$1/config/Sendari"
    printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Korvane\\Sendari\\1.0]\n"StationName"="%s"\n"GeneralReceiveFolder"="%s"\n"NumberOfAttempts"=dword:00000001\n"AnswerAfterRings"=dword:00000001\n' \
        "$2" "$3" >"$work/$1/config/Sendari/HKEY_CURRENT_USER.reg"
}
# The two stations of the end-to-end scripts: Quay receives into $work/inbox on port $rport,
# Lighthouse sends from port $sport.
quay_and_lighthouse() {
    source "$(dirname "${BASH_SOURCE[0]}")/ports.sh"
    rport=$(free_port)
    sport=$(free_port)
    settings receiver "Quay" "$work/inbox"
    settings sender "Lighthouse" "$work/sender-inbox"
}
