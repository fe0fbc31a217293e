# Copies the service description (WSDL) and the sample requests (*.req.xml)
# that soapcpp2 wrote (GEN) into the program folder's auto/ directory (DEST),
# replacing older ones.
file(GLOB old ${DEST}/*.req.xml)
if(old)
  file(REMOVE ${old})
endif()
file(GLOB reqs ${GEN}/*.req.xml)
file(COPY ${WSDL} ${reqs} DESTINATION ${DEST})
