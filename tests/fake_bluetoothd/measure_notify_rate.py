# Notification throughput of mivoble-fake-bluetoothd with bleak as the client.
#
#   /usr/bin/python3 measure_notify_rate.py FAKE RATE_HZ SECONDS [--check]
#
# With --check it exits non-zero on any lost or reordered notification or a received rate
# more than 10 % off RATE_HZ (a ctest test runs it so).
# Starts its own fake on a private bus with one legacy amplifier at RATE_HZ, streams with
# bleak, and prints notifications/s received, counter gaps (loss) and the CPU shares of the
# fake, the bleak process and the dbus-daemon. Not part of the test suite.
import asyncio, os, subprocess, sys, time
exe, rate, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
check = "--check" in sys.argv[4:]
p = subprocess.Popen([exe, "--private-bus", "--log", "/dev/null", "--sim", f"FAST-{rate},rate={rate}"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = p.stdout.readline().strip().split("=", 1)[1]
from bleak import BleakClient, BleakScanner
def cpu(pid):
    f = open(f"/proc/{pid}/stat").read().split(")")[1].split()
    return (int(f[11]) + int(f[12])) / os.sysconf("SC_CLK_TCK")
async def main():
    d = await BleakScanner.find_device_by_name(f"FAST-{rate}", timeout=5)
    async with BleakClient(d) as c:
        got = []
        await c.start_notify("b5211406-449f-4ba0-a651-b887924b81e8", lambda _, data: got.append(bytes(data)))
        await asyncio.sleep(0.5)
        daemon = int(open(f"/proc/{p.pid}/task/{p.pid}/children").read().split()[0])
        n0, c0, t0, s0, d0 = len(got), cpu(p.pid), time.monotonic(), time.process_time(), cpu(daemon)
        await asyncio.sleep(seconds)
        n1, c1, t1, s1, d1 = len(got), cpu(p.pid), time.monotonic(), time.process_time(), cpu(daemon)
        await c.stop_notify("b5211406-449f-4ba0-a651-b887924b81e8")
    counters = [int.from_bytes(x[24:27], "big") for x in got]
    gaps = sum(1 for a, b in zip(counters, counters[1:]) if b != a + 1)
    print(f"rate={rate} Hz: {(n1-n0)/(t1-t0):.1f} notifications/s over {t1-t0:.1f} s, total {len(got)}, counter gaps {gaps}, first {counters[0]} last {counters[-1]}, "
          f"fake CPU {100*(c1-c0)/(t1-t0):.1f} % of one core, bleak process CPU {100*(s1-s0)/(t1-t0):.1f} %, dbus-daemon CPU {100*(d1-d0)/(t1-t0):.1f} %")
    return (n1 - n0) / (t1 - t0), gaps
received, gaps = asyncio.run(main())
p.terminate()
p.wait()
if check and (gaps or abs(received - rate) > 0.1 * rate):
    sys.exit(f"FAILED: {gaps} counter gaps, {received:.1f} notifications/s for {rate} Hz")
