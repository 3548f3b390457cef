# Sourced by the end-to-end scripts: a TCP port on 127.0.0.1 that nobody listens on.
free_port() {
    local port
    for _ in $(seq 1 50); do
        port=$((20000 + RANDOM % 20000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
    done
    exit 1
}
