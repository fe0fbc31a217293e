// Placeholder for the SOAP operations.
