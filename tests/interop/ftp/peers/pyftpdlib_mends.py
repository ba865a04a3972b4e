"""A mend to pyftpdlib as installed, for the test servers' handlers.

pyftpdlib keeps its "PORT" connector after it handed the connector's socket to the data channel,
and closes it at the session's next "PORT" or at the session's end. That close takes the socket's
descriptor number off the server's poller, though the data channel closed that socket long before:
by then the number may be another session's control connection, and that session never hears from
its client again (the server sent its greeting and reads nothing after). Sessions that overlap, a
new one starting while the last one ends, meet it now and then. Once the socket is handed over the
connector holds nothing of its own, so the mend forgets it there.
"""


class ForgetsHandedConnector:
    """Put before FTPHandler (or TLS_FTPHandler) in a handler's bases."""

    def _on_dtp_connection(self):
        if self._dtp_connector is not None and self.data_channel is not None:
            self._dtp_connector = None
        return super()._on_dtp_connection()
