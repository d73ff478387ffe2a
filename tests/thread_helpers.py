"""Running test code on a thread of its own."""
import threading


def run_on_fresh_thread(body):
    """Runs body() on a new thread (one without a generator yet) and returns
    its result or re-raises what it raised."""
    outcome = {}

    def target():
        try:
            outcome["value"] = body()
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            outcome["error"] = e

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]
